# monitor_driver.exe: the installer's monitor and driver steps, one per run,
# for the Wine test beside it; and the port monitor built as older and newer
# builds, whose version resources the test reads back. All of it lands in
# dist/tests/, outside the package.
set(KSV_MD_OUT ${CMAKE_SOURCE_DIR}/dist/tests)
add_executable(monitor_driver ${CMAKE_CURRENT_LIST_DIR}/monitor_driver.cpp)
target_link_options(monitor_driver PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(monitor_driver PRIVATE ksvcore winspool advapi32 shell32 user32 version
                      wtsapi32 userenv)
set_target_properties(monitor_driver PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KSV_MD_OUT}
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${KSV_MD_OUT})

include(${CMAKE_SOURCE_DIR}/companions/version.cmake)
foreach(build 2450 2451 2460 2502)
    ksv_companion_dll(ksvmon64_${build} ksvmon64 ${build} ${KSV_MD_OUT}/monitor_builds/${build}
        "Kestrovane port monitor" ${CMAKE_SOURCE_DIR}/companions/monitor/ksvmon.def
        ${CMAKE_SOURCE_DIR}/companions/monitor/ksvmon.cpp)
    target_link_libraries(ksvmon64_${build} PRIVATE winspool)
endforeach()
