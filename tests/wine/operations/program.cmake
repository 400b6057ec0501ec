# ksvops.exe: the installer's own operations run one at a time against Wine,
# for the tray and printer preservation tests. Beside the other Windows test
# programs in dist/tests/, outside the package.
add_executable(ksvops ${CMAKE_CURRENT_LIST_DIR}/ksvops.cpp)
target_link_options(ksvops PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(ksvops PRIVATE ksvcore winspool advapi32 shell32 user32 version
                      wtsapi32 userenv)
set_target_properties(ksvops PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests)
