# The Windows Installer package's version: 1.0.<build> from the build number.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/build_number.cmake)
set(KSV_MSI_VERSION 1.0.${KSV_BUILD})
