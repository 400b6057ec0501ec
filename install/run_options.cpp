#include "install/run_options.h"

#include "common/text.h"

bool TakeOptions(int& argc, LPWSTR* argv, RunOptions& options) {
    int kept = argc < 2 ? argc : 2;
    for (int i = kept; i < argc; ++i) {
        const WCHAR* arg = argv[i];
        if (arg[0] != '/') {
            argv[kept++] = argv[i];
        } else if (TextEqualNoCase(arg, W("/quiet"))) {
            options.Quiet = true;
        } else if (TextEqualNoCase(arg, W("/nopackagecheck"))) {
            options.NoPackageCheck = true;
        } else if (TextEqualNoCase(arg, W("/log")) && i + 1 < argc && IsFullPath(argv[i + 1])) {
            options.LogFile = argv[++i];
        } else {
            return false;
        }
    }
    argc = kept;
    argv[kept] = nullptr;
    return true;
}
