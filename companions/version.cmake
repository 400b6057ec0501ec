# The version resource of every shipped program and DLL besides the installer:
# product version 1.0.0.<build>, the build being KSV_BUILD
# (cmake/build_number.cmake) for what ships; the Wine tests build the monitor
# with other builds as well.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/build_number.cmake)
set(KSV_VERSION_RC ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# ksv_version_resource(target file_name build description type [lines...])
# Adds the version resource to the target; type VFT_APP or VFT_DLL; `lines`,
# further lines of the resource script (an icon).
function(ksv_version_resource target file_name build description type)
    set(KSV_FILE_NAME ${file_name})
    set(KSV_DESCRIPTION ${description})
    set(KSV_BUILD ${build})
    set(KSV_FILE_TYPE ${type})
    string(REPLACE ";" "\n" KSV_MORE_RESOURCES "${ARGN}")
    set(rc ${CMAKE_BINARY_DIR}/companions/${target}_version.rc)
    configure_file(${KSV_VERSION_RC} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# ksv_companion_dll(target file_name build output_dir description def sources...)
# A DLL named <file_name>.dll in <output_dir>, exporting what <def> lists,
# linked statically so that it imports nothing but system DLLs.
function(ksv_companion_dll target file_name build output_dir description def)
    add_library(${target} SHARED ${ARGN} ${def})
    ksv_version_resource(${target} ${file_name}.dll ${build} "${description}" VFT_DLL)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${file_name}
        RUNTIME_OUTPUT_DIRECTORY ${output_dir}
        RUNTIME_OUTPUT_DIRECTORY_RELEASE ${output_dir}
        # the import libraries of same-named DLLs must not meet
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/companions/${target}
        ARCHIVE_OUTPUT_DIRECTORY_RELEASE ${CMAKE_BINARY_DIR}/companions/${target})
endfunction()
