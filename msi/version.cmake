# The Windows Installer package's version: 1.0.<build> from the build number.
set(KSV_MSI_BUILD 2501 CACHE STRING "Build number; the package's version is 1.0.<build>")
set(KSV_MSI_VERSION 1.0.${KSV_MSI_BUILD})
