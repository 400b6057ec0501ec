# Windows package: ksvinstall.exe and its companion files under dist/.
enable_language(RC)
set(KSV_DIST ${CMAKE_SOURCE_DIR}/dist/Kestrovane)
set(KSV_SETUP_DIR ${KSV_DIST}/setup)
include(${CMAKE_CURRENT_LIST_DIR}/release.cmake)
# Programs and DLLs of the package are linked here and shipped stripped.
set(KSV_SYMBOLS_DIST ${KSV_SYMBOLS}/Kestrovane)
set(KSV_SYMBOLS_SETUP ${KSV_SYMBOLS_DIST}/setup)

# The installer's code, compiled once for the program and the Windows-side
# test programs that run its steps one at a time.
add_library(ksvcore STATIC ${KSV_SOURCES})
target_include_directories(ksvcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(ksvcore PUBLIC UNICODE _UNICODE KSV_BUILD=${KSV_BUILD})
target_compile_options(ksvcore PUBLIC -municode)

add_executable(ksvinstall WIN32 install/main.cpp install/ksvinstall.rc)
# windres does not report what the script pulls in; rebuild when these change.
set_source_files_properties(install/ksvinstall.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/install/ksvinstall.manifest;${CMAKE_SOURCE_DIR}/install/report/log_dialog.rc")
target_link_options(ksvinstall PRIVATE -municode -static -static-libgcc -static-libstdc++)
# VERSION.dll and WINSPOOL.DRV are no Known DLLs: loaded at start-up they would
# be looked for in the program's folder first. Delay-loaded, they come after
# RunInstaller has limited the search to the system directory; so do user32
# and shell32 with whatever they import in turn.
include(${CMAKE_CURRENT_LIST_DIR}/delay_load.cmake)
ksv_delay_library(KSV_WINSPOOL_DELAY winspool winspool.drv)
ksv_delay_library(KSV_VERSION_DELAY version version.dll)
ksv_delay_library(KSV_USER32_DELAY user32 user32.dll)
ksv_delay_library(KSV_SHELL32_DELAY shell32 shell32.dll)
# The sessions' calls (a run as a service starts the tray program for the
# people logged on): no Known DLLs either.
ksv_delay_library(KSV_WTSAPI32_DELAY wtsapi32 wtsapi32.dll)
ksv_delay_library(KSV_USERENV_DELAY userenv userenv.dll)
add_dependencies(ksvinstall winspool_delay version_delay user32_delay shell32_delay
                 wtsapi32_delay userenv_delay)
target_link_libraries(ksvinstall PRIVATE ksvcore ${KSV_WINSPOOL_DELAY} ${KSV_VERSION_DELAY}
                      ${KSV_USER32_DELAY} ${KSV_SHELL32_DELAY} ${KSV_WTSAPI32_DELAY}
                      ${KSV_USERENV_DELAY} advapi32)
set_target_properties(ksvinstall PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KSV_SYMBOLS_SETUP}
    RUNTIME_OUTPUT_DIRECTORY_RELEASE ${KSV_SYMBOLS_SETUP}
    OUTPUT_NAME ksvinstall)
ksv_ship(ksvinstall ksvinstall.exe ${KSV_SETUP_DIR})

# Each companion file (port monitor, driver, UI DLL, help file, tray program)
# and each Windows-side test program brings its own piece of build.
file(GLOB KSV_COMPANION_PIECES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/companions/*/companion.cmake
     ${CMAKE_SOURCE_DIR}/tests/wine/*/program.cmake)
foreach(piece ${KSV_COMPANION_PIECES})
    include(${piece})
endforeach()

# The Windows Installer package wrapping all of the above.
include(${CMAKE_SOURCE_DIR}/msi/package.cmake)

# Last: the digests of what ships, printed and kept in dist/SHA256SUMS.
get_property(ksv_all_targets DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
add_custom_target(release_digest ALL
    COMMAND ${CMAKE_COMMAND} -DDIST=${CMAKE_SOURCE_DIR}/dist -P ${CMAKE_CURRENT_LIST_DIR}/digest.cmake
    COMMENT "SHA-256 of the shipped files" VERBATIM)
add_dependencies(release_digest ${ksv_all_targets})
