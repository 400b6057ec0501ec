// The Windows entry point; the native test build calls RunInstaller directly.
#include "install/front_end.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunInstaller(instance);
}
