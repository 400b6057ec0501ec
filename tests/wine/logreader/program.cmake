# logreader.exe: reads the installer's log dialog from outside, for the Wine
# tests. It lands in dist/tests/, beside the package and not inside it.
add_executable(logreader ${CMAKE_CURRENT_LIST_DIR}/logreader.cpp)
target_compile_definitions(logreader PRIVATE UNICODE _UNICODE)
target_compile_options(logreader PRIVATE -municode)
target_link_options(logreader PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(logreader PRIVATE user32 gdi32)
set_target_properties(logreader PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests)
