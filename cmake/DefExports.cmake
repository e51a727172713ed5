# A library's .def file is the one list of its exports on both platforms. On
# Windows the linker reads it directly. On Linux it becomes a version script
# (exactly these names are exported) and --defsym options for the names that
# are a second name of another export ("NAME = TARGET").
function(veltra_exports_from_def target def)
    file(STRINGS ${def} lines)
    set(names)
    set(aliases)
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*)$")
            list(APPEND names ${CMAKE_MATCH_1})
            list(APPEND aliases "LINKER:--defsym,${CMAKE_MATCH_1}=${CMAKE_MATCH_2}")
        elseif(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)$" AND NOT line STREQUAL "EXPORTS")
            list(APPEND names ${CMAKE_MATCH_1})
        endif()
    endforeach()
    list(JOIN names ";\n        " globals)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
    file(WRITE ${script} "{\n    global:\n        ${globals};\n    local: *;\n};\n")
    target_link_options(${target} PRIVATE ${aliases} "LINKER:--version-script=${script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def} ${script})
endfunction()

# The import library for the Microsoft linker (NAME.lib), made from the same
# .def file with LLVM's dlltool and installed beside the MinGW one (.dll.a).
function(veltra_msvc_import_library target def)
    find_program(VELTRA_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
    set(out ${CMAKE_BINARY_DIR}/lib/${target}.lib)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
        COMMAND ${VELTRA_DLLTOOL} -m i386:x86-64 -d ${def} -D ${target}.dll -l ${out}
        DEPENDS ${def} VERBATIM)
    add_custom_target(${target}_msvc_lib ALL DEPENDS ${out})
    install(FILES ${out} DESTINATION lib)
endfunction()
