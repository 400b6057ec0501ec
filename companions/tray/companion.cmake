# kestray.exe, the tray program, in the parent of the installer's directory.
# Its icon is the product's too (Add/Remove Programs shows it).
include(${CMAKE_SOURCE_DIR}/companions/version.cmake)
add_executable(kestray WIN32 ${CMAKE_CURRENT_LIST_DIR}/kestray.cpp)
ksv_version_resource(kestray kestray.exe ${KSV_BUILD} "Kestrovane tray program" VFT_APP
    "1 ICON \"${CMAKE_CURRENT_LIST_DIR}/kestray.ico\"")
set_source_files_properties(${CMAKE_BINARY_DIR}/companions/kestray_version.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kestray.ico)
target_include_directories(kestray PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(kestray PRIVATE UNICODE _UNICODE)
target_compile_options(kestray PRIVATE -municode)
target_link_options(kestray PRIVATE -municode -static -static-libgcc -static-libstdc++)
# user32 delay-loaded: it comes after the search is limited to the system
# directory (see cmake/delay_load.cmake).
ksv_delay_library(KSV_USER32_DELAY user32 user32.dll)
add_dependencies(kestray user32_delay)
# advapi32 (a Known DLL) for the quit event's security descriptor.
target_link_libraries(kestray PRIVATE ${KSV_USER32_DELAY} advapi32)
set_target_properties(kestray PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KSV_SYMBOLS_DIST}
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${KSV_SYMBOLS_DIST})
ksv_ship(kestray kestray.exe ${KSV_DIST})
