# What makes the shipped files a release: the same bytes from every clean
# build of a commit, no symbols in the package, and the unstripped copies kept
# beside it (dist/symbols/) for crash analysis.
include_guard(GLOBAL)
set(KSV_SYMBOLS ${CMAKE_SOURCE_DIR}/dist/symbols)

# The one date a release carries (PE headers, the MSI's summary and the dates
# of the files in its cabinet): SOURCE_DATE_EPOCH when set, else the time of
# the commit built, else 1980-01-01, the earliest date a cabinet can hold.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KSV_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    set(KSV_SOURCE_DATE_EPOCH 315532800)
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                        OUTPUT_VARIABLE ksv_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE ksv_git_failed ERROR_QUIET)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-parse --absolute-git-dir
                        OUTPUT_VARIABLE ksv_git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(NOT ksv_git_failed AND ksv_commit_time MATCHES "^[0-9]+$")
            set(KSV_SOURCE_DATE_EPOCH ${ksv_commit_time})
            # A new commit configures again, so its build carries its own date.
            if(EXISTS ${ksv_git_dir}/logs/HEAD)
                set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY
                             CMAKE_CONFIGURE_DEPENDS ${ksv_git_dir}/logs/HEAD)
            endif()
        endif()
    endif()
endif()
if(NOT KSV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970: ${KSV_SOURCE_DATE_EPOCH}")
endif()
message(STATUS "Release date (SOURCE_DATE_EPOCH): ${KSV_SOURCE_DATE_EPOCH}")

# No link time in the headers and no build folder in the debug data; -g1 keeps
# line tables in the unstripped copies and does not change the code. The
# linker would pick a DLL's preferred base from a hash of its output path;
# with ASLR on (the default) the base is only a hint anyway.
add_compile_options(-g1 -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
add_link_options(-Wl,--no-insert-timestamp -Wl,--disable-auto-image-base)

find_program(KSV_STRIP NAMES ${KSV_MINGW_PREFIX}-strip REQUIRED)

# ksv_ship(target file_name dest_dir): the target, built unstripped elsewhere
# (dist/symbols/...), is shipped as <dest_dir>/<file_name> without symbols.
# strip stamps the header with the current time unless SOURCE_DATE_EPOCH says.
function(ksv_ship target file_name dest_dir)
    set(shipped ${dest_dir}/${file_name})
    add_custom_command(OUTPUT ${shipped}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dest_dir}
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${KSV_SOURCE_DATE_EPOCH}
                ${KSV_STRIP} --strip-all -o ${shipped} $<TARGET_FILE:${target}>
        DEPENDS ${target}
        COMMENT "Shipping ${file_name} stripped" VERBATIM)
    add_custom_target(ship_${target} ALL DEPENDS ${shipped})
    set_property(GLOBAL APPEND PROPERTY KSV_SHIPPED_FILES ${shipped})
endfunction()
