# ksvstandin.exe: takes the place of ksvinstall.exe in a package the MSI test
# makes, to end with the exit codes and write the logs the test chooses.
add_executable(ksvstandin ${CMAKE_CURRENT_LIST_DIR}/standin.cpp)
target_compile_definitions(ksvstandin PRIVATE UNICODE _UNICODE)
target_compile_options(ksvstandin PRIVATE -municode)
target_link_options(ksvstandin PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvstandin PRIVATE shell32)
set_target_properties(ksvstandin PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests)
