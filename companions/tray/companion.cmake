# kestray.exe, the tray program, in the parent of the installer's directory.
add_executable(kestray WIN32 ${CMAKE_CURRENT_LIST_DIR}/kestray.cpp)
target_include_directories(kestray PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(kestray PRIVATE UNICODE _UNICODE)
target_compile_options(kestray PRIVATE -municode)
target_link_options(kestray PRIVATE -municode -static -static-libgcc -static-libstdc++)
# user32 delay-loaded: it comes after the search is limited to the system
# directory (see cmake/delay_load.cmake).
ksv_delay_library(KSV_USER32_DELAY user32 user32.dll)
add_dependencies(kestray user32_delay)
target_link_libraries(kestray PRIVATE ${KSV_USER32_DELAY})
set_target_properties(kestray PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KSV_SYMBOLS_DIST}
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${KSV_SYMBOLS_DIST})
ksv_ship(kestray kestray.exe ${KSV_DIST})
