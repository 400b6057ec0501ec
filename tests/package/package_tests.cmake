# Checks of the built Windows program itself (imports, resources), registered
# when the package has been built (cmake --build --preset windows).
set(KSV_DIST "${CMAKE_SOURCE_DIR}/dist/Kestrovane" CACHE PATH
    "The built package folder (.../dist/Kestrovane) that the Wine tests install")
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND OR NOT EXISTS "${KSV_DIST}/setup/ksvinstall.exe")
    message(STATUS "Package tests: not registered (no python3 or no ${KSV_DIST}/setup/ksvinstall.exe)")
    return()
endif()
include(${CMAKE_SOURCE_DIR}/msi/version.cmake) # KSV_BUILD and the MSI's version
add_test(NAME package.ksvinstall
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_package.py
                 ${KSV_DIST}/setup/ksvinstall.exe)
set_tests_properties(package.ksvinstall PROPERTIES LABELS package ENVIRONMENT KSV_BUILD=${KSV_BUILD})
add_test(NAME package.kestray
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_package.py --tray
                 ${KSV_DIST}/kestray.exe)
set_tests_properties(package.kestray PROPERTIES LABELS package ENVIRONMENT KSV_BUILD=${KSV_BUILD})
set(ksv_msi ${KSV_DIST}/../Kestrovane-${KSV_MSI_VERSION}.msi)
find_program(KSV_MSIINFO msiinfo)
if(EXISTS "${ksv_msi}" AND KSV_MSIINFO)
    add_test(NAME package.ksvmsi
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_package.py --msi ${ksv_msi})
    set_tests_properties(package.ksvmsi PROPERTIES LABELS package ENVIRONMENT KSV_BUILD=${KSV_BUILD})
    add_test(NAME package.shipped
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_package.py --shipped ${KSV_DIST}/..)
    set_tests_properties(package.shipped PROPERTIES LABELS package)
endif()
