# End-to-end tests: the built Windows package run by Wine in throw-away
# prefixes. Registered only when Wine is here and the package has been built
# (cmake --build --preset windows), or KSV_DIST names a built package.
set(KSV_DIST "${CMAKE_SOURCE_DIR}/dist/Kestrovane" CACHE PATH
    "The built package folder (.../dist/Kestrovane) that the Wine tests install")
set(KSV_TOOLS "${KSV_DIST}/../tests" CACHE PATH
    "Folder of the Windows test programs (logreader.exe)")
include(${CMAKE_SOURCE_DIR}/msi/version.cmake)
set(KSV_MSI "${KSV_DIST}/../Kestrovane-${KSV_MSI_VERSION}.msi" CACHE FILEPATH
    "The built Windows Installer package that the MSI test installs")

find_program(KSV_WINE wine)
find_program(KSV_WINEBOOT wineboot)
find_program(KSV_WINESERVER wineserver)
if(NOT KSV_WINE OR NOT KSV_WINEBOOT OR NOT KSV_WINESERVER)
    message(STATUS "Wine tests: not registered, Wine is not installed")
    return()
endif()
if(NOT EXISTS "${KSV_DIST}/setup/ksvinstall.exe")
    message(STATUS "Wine tests: not registered, no package at ${KSV_DIST} "
                   "(build the windows preset first, then configure again)")
    return()
endif()

set(KSV_WINE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KSV_WINE_WORK ${CMAKE_BINARY_DIR}/wine)
set(KSV_WINE_TEMPLATE ${KSV_WINE_WORK}/template)
set(KSV_ARTIFACTS ${CMAKE_BINARY_DIR}/artifacts)
set(KSV_WINE_ENV
    KSV_DIST=${KSV_DIST}
    KSV_TOOLS=${KSV_TOOLS}
    KSV_WINE_TEMPLATE=${KSV_WINE_TEMPLATE}
    KSV_WINE_WORK=${KSV_WINE_WORK}
    KSV_MSI=${KSV_MSI}
    KSV_ARTIFACTS=${KSV_ARTIFACTS})

# One booted prefix per test run; each test copies it.
add_test(NAME wine.template COMMAND bash ${KSV_WINE_DIR}/make_template.sh ${KSV_WINE_TEMPLATE})
set_tests_properties(wine.template PROPERTIES
    FIXTURES_SETUP wine_prefix LABELS wine TIMEOUT 400 ENVIRONMENT "${KSV_WINE_ENV}")
add_test(NAME wine.template.cleanup COMMAND ${CMAKE_COMMAND} -E rm -rf ${KSV_WINE_TEMPLATE})
set_tests_properties(wine.template.cleanup PROPERTIES FIXTURES_CLEANUP wine_prefix LABELS wine)

# ksv_wine_test(name script [needs...]): a test script run in a prefix of its
# own; `needs` are programs it must find, else it is not registered.
function(ksv_wine_test name script)
    foreach(program ${ARGN})
        find_program(KSV_HAVE_${program} ${program})
        if(NOT KSV_HAVE_${program})
            message(STATUS "Wine test ${name}: not registered, ${program} is missing")
            return()
        endif()
    endforeach()
    add_test(NAME ${name} COMMAND bash ${KSV_WINE_DIR}/${script})
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED wine_prefix LABELS wine TIMEOUT 300 ENVIRONMENT "${KSV_WINE_ENV}")
endfunction()

ksv_wine_test(wine.cli.exit_six cli_test.sh)
ksv_wine_test(wine.install.headless install_test.sh)
if(EXISTS "${KSV_TOOLS}/planted/version.dll")
    ksv_wine_test(wine.dll_planting dll_planting_test.sh)
endif()
if(EXISTS "${KSV_TOOLS}/logreader.exe")
    ksv_wine_test(wine.dialog.shift_log log_dialog_test.sh Xvfb xdotool import)
    ksv_wine_test(wine.dialog.error_log error_log_test.sh Xvfb)
else()
    message(STATUS "Wine dialog tests: not registered, no ${KSV_TOOLS}/logreader.exe")
endif()
if(EXISTS "${KSV_TOOLS}/monitor_driver.exe")
    ksv_wine_test(wine.monitor_driver monitor_driver/monitor_driver_test.sh)
endif()
if(EXISTS "${KSV_TOOLS}/ksvops.exe")
    ksv_wine_test(wine.printers.preserved operations/preservation_test.sh)
    if(EXISTS "${KSV_TOOLS}/ksvfloor.exe")
        ksv_wine_test(wine.printers.killed_reinstalls e2e/killed_reinstall_test.sh)
    endif()
    ksv_wine_test(wine.tray.start_stop operations/tray_test.sh Xvfb)
endif()
# The whole package, verb by verb, with every log dialog read back.
if(EXISTS "${KSV_TOOLS}/logreader.exe")
    ksv_wine_test(wine.e2e.missing_help e2e/missing_help_test.sh Xvfb import)
    ksv_wine_test(wine.e2e.quiet_log e2e/quiet_log_test.sh Xvfb)
    if(EXISTS "${KSV_TOOLS}/ksvops.exe")
        ksv_wine_test(wine.e2e.verbs e2e/verbs_test.sh Xvfb xdotool)
    endif()
    # Squatted locks, a package folder others may write to, a /log file with
    # two names; one run waits out the lock's three-minute bound.
    if(EXISTS "${KSV_TOOLS}/ksvops.exe" AND EXISTS "${KSV_TOOLS}/planted/version.dll")
        ksv_wine_test(wine.e2e.security e2e/security_test.sh)
        set_tests_properties(wine.e2e.security PROPERTIES TIMEOUT 480)
    endif()
    if(EXISTS "${KSV_TOOLS}/renames_probe.exe")
        ksv_wine_test(wine.e2e.machine_safety e2e/machine_safety_test.sh Xvfb)
    endif()
endif()
# The Windows Installer package's life cycle under Wine's msiexec.
if(EXISTS "${KSV_MSI}" AND EXISTS "${KSV_TOOLS}/ksvops.exe")
    ksv_wine_test(wine.msi.lifecycle msi/msi_test.sh wixl msibuild msiinfo)
else()
    message(STATUS "Wine MSI test: not registered, no ${KSV_MSI}")
endif()
# The renames test brings a native checker of its own.
include(${KSV_WINE_DIR}/renames/wine_test.cmake)
