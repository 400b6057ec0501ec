# ksvmon64.dll, the port monitor "Kestrovane:", beside the installer.
include(${CMAKE_SOURCE_DIR}/companions/version.cmake)
ksv_companion_dll(ksvmon64 ksvmon64 ${KSV_BUILD} ${KSV_SYMBOLS_SETUP}
    "Kestrovane port monitor" ${CMAKE_CURRENT_LIST_DIR}/ksvmon.def
    ${CMAKE_CURRENT_LIST_DIR}/ksvmon.cpp)
target_link_libraries(ksvmon64 PRIVATE winspool)
ksv_ship(ksvmon64 ksvmon64.dll ${KSV_SETUP_DIR})
