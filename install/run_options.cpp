#include "install/run_options.h"

#include "common/text.h"

namespace {

// "C:\..." or "\\server\share\...": the log never lands in whatever the
// current directory of an elevated process happens to be.
bool IsFullPath(const WCHAR* path) {
    bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    bool unc = path[0] == '\\' && path[1] == '\\' && path[2] != 0 && path[2] != '\\';
    return drive || unc;
}

} // namespace

bool TakeOptions(int& argc, LPWSTR* argv, RunOptions& options) {
    int kept = argc < 2 ? argc : 2;
    for (int i = kept; i < argc; ++i) {
        const WCHAR* arg = argv[i];
        if (arg[0] != '/') {
            argv[kept++] = argv[i];
        } else if (TextEqualNoCase(arg, W("/quiet"))) {
            options.Quiet = true;
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
