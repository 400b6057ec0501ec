# Shared by the companion pieces: every companion DLL carries a version
# resource whose product version is 1.0.0.<build>. The build can be set at
# configure time (-DKSV_COMPANION_BUILD=2460) to make older or newer DLLs.
include_guard(GLOBAL)

set(KSV_COMPANION_BUILD 2501 CACHE STRING "Fourth part of the companion DLLs' product version")
set(KSV_COMPANION_VERSION_RC ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# ksv_companion_dll(target file_name build output_dir description def sources...)
# A DLL named <file_name>.dll in <output_dir>, exporting what <def> lists,
# linked statically so that it imports nothing but system DLLs.
function(ksv_companion_dll target file_name build output_dir description def)
    set(KSV_FILE_NAME ${file_name}.dll)
    set(KSV_DESCRIPTION ${description})
    set(KSV_BUILD ${build})
    set(rc ${CMAKE_BINARY_DIR}/companions/${target}_version.rc)
    configure_file(${KSV_COMPANION_VERSION_RC} ${rc} @ONLY)
    add_library(${target} SHARED ${ARGN} ${def} ${rc})
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
