# The Windows Installer package dist/Kestrovane-<version>.msi: the files of
# dist/Kestrovane/ and the custom action ksvmsi.dll, put together by wixl.
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
set(KSV_MSI ${CMAKE_SOURCE_DIR}/dist/Kestrovane-${KSV_MSI_VERSION}.msi)

# Not a file of the product folder: it lives in the package's Binary table.
add_library(ksvmsi SHARED ${CMAKE_CURRENT_LIST_DIR}/ksvmsi.cpp)
target_compile_definitions(ksvmsi PRIVATE UNICODE _UNICODE)
target_link_options(ksvmsi PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvmsi PRIVATE msi)
set_target_properties(ksvmsi PROPERTIES PREFIX "" OUTPUT_NAME ksvmsi
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/msi
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/msi)

find_program(KSV_WIXL wixl)
if(NOT KSV_WIXL)
    message(STATUS "MSI package: not built, wixl is not installed")
    return()
endif()
# wixl takes a file's source as relative to the .wxs file's folder.
file(RELATIVE_PATH ksv_msi_files ${CMAKE_CURRENT_LIST_DIR} ${KSV_DIST})
file(RELATIVE_PATH ksv_msi_action ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/msi/ksvmsi.dll)
add_custom_command(OUTPUT ${KSV_MSI}
    COMMAND ${KSV_WIXL} -a x64 -D Version=${KSV_MSI_VERSION} -D PackageDir=${ksv_msi_files}
            -D CustomActionDll=${ksv_msi_action} -o ${KSV_MSI}
            ${CMAKE_CURRENT_LIST_DIR}/kestrovane.wxs
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kestrovane.wxs ksvmsi ksvinstall kestray ksvmon64
            ksvdrv64 ksvui64 ksvhelp
    COMMENT "Making Kestrovane-${KSV_MSI_VERSION}.msi" VERBATIM)
add_custom_target(msi_package ALL DEPENDS ${KSV_MSI})
