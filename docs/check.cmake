# Runs Doxygen on the headers into OUTPUT and fails on any warning it prints.
file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
file(READ ${DOXYFILE} settings)
file(WRITE ${OUTPUT}/Doxyfile "${settings}\nOUTPUT_DIRECTORY = ${OUTPUT}\n")
execute_process(COMMAND ${DOXYGEN} ${OUTPUT}/Doxyfile RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "doxygen (${result}):\n${out}${err}")
endif()
if(NOT EXISTS ${OUTPUT}/html/index.html)
    message(FATAL_ERROR "doxygen wrote no reference")
endif()
