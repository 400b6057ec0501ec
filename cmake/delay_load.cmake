# Import libraries that load a DLL at its first call instead of at start-up
# (mingw-w64's dlltool --output-delaylib). A DLL that is not a Known DLL is
# then loaded after the program has restricted the search to the system
# directory, never from the program's own folder. (Wine's own user32 and
# shell32 import DLLs such as version.dll that are no Known DLLs: loaded at
# start-up, they would pull those from the program's folder.) The exports are read from
# the toolchain's own import library, so every function of the DLL is there.
find_program(KSV_DLLTOOL NAMES ${KSV_MINGW_PREFIX}-dlltool REQUIRED)
find_program(KSV_NM NAMES ${KSV_MINGW_PREFIX}-nm REQUIRED)

# ksv_delay_library(variable lib dll): sets <variable> to a library that
# delay-loads <dll> with the exports of lib<lib>.a (target <lib>_delay).
function(ksv_delay_library variable lib dll)
    set(dir ${CMAKE_BINARY_DIR}/delay)
    set(${variable} ${dir}/lib${lib}_delay.a PARENT_SCOPE)
    if(TARGET ${lib}_delay)
        return()
    endif()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.a
                    OUTPUT_VARIABLE import OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${KSV_NM} ${import} OUTPUT_VARIABLE symbols ERROR_QUIET)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_]+" found "${symbols}")
    list(REMOVE_DUPLICATES found)
    if(NOT found)
        message(FATAL_ERROR "no exports found in ${import}")
    endif()
    set(def "LIBRARY ${dll}\nEXPORTS\n")
    foreach(symbol ${found})
        string(REPLACE " I __imp_" "    " name "${symbol}")
        string(APPEND def "${name}\n")
    endforeach()
    file(CONFIGURE OUTPUT ${dir}/${lib}.def CONTENT "${def}" @ONLY)
    # dlltool names the library's symbols after the output path: relative,
    # so that no build folder ends up in the program's symbols.
    add_custom_command(OUTPUT ${dir}/lib${lib}_delay.a
        COMMAND ${KSV_DLLTOOL} --input-def ${lib}.def --dllname ${dll}
                --output-delaylib lib${lib}_delay.a
        WORKING_DIRECTORY ${dir}
        DEPENDS ${dir}/${lib}.def VERBATIM)
    add_custom_target(${lib}_delay DEPENDS ${dir}/lib${lib}_delay.a)
endfunction()
