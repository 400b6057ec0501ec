# renames_probe.exe: schedules deletions and renames for the next restart, so
# that the Wine tests can compare the registry value Wine writes with the one
# the simulated machine writes. It lands in dist/tests/, outside the package.
add_executable(renames_probe ${CMAKE_CURRENT_LIST_DIR}/renames_probe.cpp)
target_compile_definitions(renames_probe PRIVATE UNICODE _UNICODE)
target_compile_options(renames_probe PRIVATE -municode)
target_link_options(renames_probe PRIVATE -municode -static -static-libgcc -static-libstdc++)
set_target_properties(renames_probe PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests)
