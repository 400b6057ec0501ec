# The one build number of everything shipped: the installer's own (its log's
# first line, the dialog's title), the version 1.0.0.<build> of every program
# and DLL, and the Windows Installer package's version 1.0.<build>. Every
# release needs a new one (-DKSV_BUILD=2600 at configure time).
include_guard(GLOBAL)
set(KSV_BUILD 2501 CACHE STRING "Build number of everything shipped; the MSI's version is 1.0.<build>")
