# The Windows Installer package dist/Kestrovane-<version>.msi: the files of
# dist/Kestrovane/ and the custom action ksvmsi.dll, put together by wixl
# through make_msi.py (same bytes from the same files).
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
set(KSV_MSI ${CMAKE_SOURCE_DIR}/dist/Kestrovane-${KSV_MSI_VERSION}.msi)
set(KSV_MSI_ACTION_DIR ${CMAKE_SOURCE_DIR}/dist/msi)

# Not a file of the product folder: it lives in the package's Binary table.
# Shipped stripped to dist/msi/, where scripts/sign.sh finds it too.
add_library(ksvmsi SHARED ${CMAKE_CURRENT_LIST_DIR}/ksvmsi.cpp
    ${CMAKE_CURRENT_LIST_DIR}/messages.cpp ${CMAKE_CURRENT_LIST_DIR}/installer_log.cpp
    ${CMAKE_CURRENT_LIST_DIR}/machine_marks.cpp)
target_include_directories(ksvmsi PRIVATE ${CMAKE_SOURCE_DIR})
include(${CMAKE_SOURCE_DIR}/companions/version.cmake)
ksv_version_resource(ksvmsi ksvmsi.dll ${KSV_BUILD} "Kestrovane printer setup actions" VFT_DLL)
target_compile_definitions(ksvmsi PRIVATE UNICODE _UNICODE)
target_link_options(ksvmsi PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvmsi PRIVATE msi advapi32 user32)
set_target_properties(ksvmsi PROPERTIES PREFIX "" OUTPUT_NAME ksvmsi
    RUNTIME_OUTPUT_DIRECTORY ${KSV_SYMBOLS}/msi
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/msi)
ksv_ship(ksvmsi ksvmsi.dll ${KSV_MSI_ACTION_DIR})

find_program(KSV_WIXL wixl)
find_program(KSV_MSIBUILD msibuild)
find_package(Python3 COMPONENTS Interpreter)
if(NOT KSV_WIXL OR NOT KSV_MSIBUILD OR NOT Python3_Interpreter_FOUND)
    message(STATUS "MSI package: not built, wixl, msibuild (msitools) or python3 is not installed")
    return()
endif()
get_property(ksv_shipped GLOBAL PROPERTY KSV_SHIPPED_FILES)
add_custom_command(OUTPUT ${KSV_MSI}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_msi.py
            --wixl ${KSV_WIXL} --msibuild ${KSV_MSIBUILD} --wxs ${CMAKE_CURRENT_LIST_DIR}/kestrovane.wxs
            --version ${KSV_MSI_VERSION} --package ${KSV_DIST}
            --action ${KSV_MSI_ACTION_DIR}/ksvmsi.dll
            --epoch ${KSV_SOURCE_DATE_EPOCH} --out ${KSV_MSI}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kestrovane.wxs ${CMAKE_CURRENT_LIST_DIR}/make_msi.py
            ${ksv_shipped} ${KSV_HELP_FILE}
    COMMENT "Making Kestrovane-${KSV_MSI_VERSION}.msi" VERBATIM)
add_custom_target(msi_package ALL DEPENDS ${KSV_MSI})
