# ksvfloor.exe: the bare spooler calls of install, reinstall and uninstall,
# the floor that scripts/bench-wine.sh times the installer against. Beside
# the other Windows test programs in dist/tests/, outside the package.
add_executable(ksvfloor ${CMAKE_CURRENT_LIST_DIR}/floor.cpp)
target_compile_definitions(ksvfloor PRIVATE UNICODE _UNICODE)
target_compile_options(ksvfloor PRIVATE -municode)
target_link_options(ksvfloor PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvfloor PRIVATE winspool user32)
set_target_properties(ksvfloor PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests)
