# Compiler settings shared by every target of both platforms.

# Warnings are errors in our own builds (the Makefile and CI turn this on); a
# consumer building the package gets the warnings without failing on them.
option(VELTRA_WERROR "Treat warnings as errors" OFF)
set(VELTRA_SANITIZE "" CACHE STRING "Sanitizers for the Linux build (address,undefined or thread)")
option(VELTRA_FUZZ "Build the libFuzzer targets (clang), with coverage for the fuzzer in every target" OFF)
option(VELTRA_COVERAGE "Build the Linux tree with gcov coverage counters (make coverage)" OFF)

set(VELTRA_WARNINGS -Wall -Wextra)
if(VELTRA_WERROR)
    list(APPEND VELTRA_WARNINGS -Werror)
endif()
add_compile_options(${VELTRA_WARNINGS})

# Libraries export only what they mark; the Windows layer compiled into both
# libraries must never bind across them.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(WIN32)
    # Self-contained binaries: no MinGW run-time DLLs to ship beside them.
    add_link_options(-static-libgcc -static-libstdc++ -static)
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    # Every Windows program runs under Wine, in this build tree's own prefix.
    set(VELTRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh)
else()
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    set(CMAKE_BUILD_RPATH ${CMAKE_BINARY_DIR}/lib)
    # Installed libraries find each other in their own folder.
    set(CMAKE_INSTALL_RPATH "$ORIGIN")
    if(VELTRA_FUZZ)
        add_compile_options(-fsanitize=fuzzer-no-link)
    endif()
    if(VELTRA_COVERAGE)
        add_compile_options(--coverage -fprofile-update=atomic)
        add_link_options(--coverage)
    endif()
    if(VELTRA_SANITIZE)
        add_compile_options(-fsanitize=${VELTRA_SANITIZE} -fno-omit-frame-pointer
                            -fno-sanitize-recover=all)
        add_link_options(-fsanitize=${VELTRA_SANITIZE})
    endif()
endif()

# Test programs: one CTest test per program, with a time-out, each process on
# a simulated machine of its own (never the user's state folder); Windows
# programs in the build tree's Wine prefix.
function(veltra_add_test name target)
    add_test(NAME ${name} COMMAND ${target} ${ARGN})
    if(WIN32)
        set_tests_properties(${name} PROPERTIES TIMEOUT 600
                             ENVIRONMENT "WINEPREFIX=${VELTRA_WINEPREFIX};VELTRA_SIM_STATE=private")
    else()
        set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT VELTRA_SIM_STATE=private)
    endif()
endfunction()

# The standard headers nearly every C++ source of the simulator, the
# stand-in, the tool and the tests includes: parsing them is most of a
# compile, so the larger targets parse them once (a precompiled header; most
# test programs take another target's, see tests/CMakeLists.txt). They are
# only compiled ahead: each source still includes what it uses.
option(VELTRA_PCH "Precompile the standard headers of the larger targets" ON)
set(VELTRA_PCH_HEADERS algorithm array atomic chrono condition_variable cstdint cstdio cstdlib
    cstring functional map memory mutex optional string string_view thread unordered_map vector)
function(veltra_precompile target)  # [more headers, by their <> names]
    if(NOT VELTRA_PCH)
        return()
    endif()
    set(headers)
    foreach(header ${VELTRA_PCH_HEADERS} ${ARGN})
        list(APPEND headers "$<$<COMPILE_LANGUAGE:CXX>:<${header}$<ANGLE-R>>")
    endforeach()
    target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
# Line tables only (what a backtrace needs) for the simulator and the
# stand-in, whose full debug information would cost a third of their build.
function(veltra_line_tables target)
    if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo" AND NOT MSVC)
        target_compile_options(${target} PRIVATE -g1)
    endif()
endfunction()
function(veltra_precompile_like target donor)
    if(VELTRA_PCH)
        target_precompile_headers(${target} REUSE_FROM ${donor})
    endif()
endfunction()
