# ksvdrv64.dll and ksvui64.dll, the version-3 driver "Kestrovane printer",
# beside the installer.
include(${CMAKE_SOURCE_DIR}/companions/version.cmake)
ksv_companion_dll(ksvdrv64 ksvdrv64 ${KSV_BUILD} ${KSV_SYMBOLS_SETUP}
    "Kestrovane printer driver" ${CMAKE_CURRENT_LIST_DIR}/ksvdrv.def
    ${CMAKE_CURRENT_LIST_DIR}/ksvdrv.cpp)
ksv_companion_dll(ksvui64 ksvui64 ${KSV_BUILD} ${KSV_SYMBOLS_SETUP}
    "Kestrovane printer driver interface" ${CMAKE_CURRENT_LIST_DIR}/ksvui.def
    ${CMAKE_CURRENT_LIST_DIR}/ksvui.cpp)
ksv_ship(ksvdrv64 ksvdrv64.dll ${KSV_SETUP_DIR})
ksv_ship(ksvui64 ksvui64.dll ${KSV_SETUP_DIR})
