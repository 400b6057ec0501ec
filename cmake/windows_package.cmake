# Windows package: ksvinstall.exe and its companion files under dist/.
set(KSV_DIST ${CMAKE_SOURCE_DIR}/dist/Kestrovane)
set(KSV_SETUP_DIR ${KSV_DIST}/setup)

add_executable(ksvinstall WIN32 install/main.cpp ${KSV_SOURCES} install/ksvinstall.rc)
target_include_directories(ksvinstall PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(ksvinstall PRIVATE UNICODE _UNICODE)
target_compile_options(ksvinstall PRIVATE -municode)
target_link_options(ksvinstall PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvinstall PRIVATE winspool advapi32 shell32 user32 version)
set_target_properties(ksvinstall PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KSV_SETUP_DIR}
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${KSV_SETUP_DIR}
    OUTPUT_NAME ksvinstall)
