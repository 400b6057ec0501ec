// The whole program from its command line: any text after the program name,
// often one of the verbs with an owner-window number and options (/quiet,
// /log <file>). Every run must end with an exit code the verbs can give,
// nothing leaked or freed twice, the spooler running, and a log file, when
// one was written, beginning with its byte-order mark.
#include "install/front_end.h"
#include "platform/sim/machine.h"

#include <cstdlib>
#include <set>
#include <string>

namespace {

const char* const verbs[] = {"in",        "install",    "serverinstall", "in_notray", "un",
                             "uninstall", "removetray", "onChkDrv",      "onInit",    "def.set",
                             "DEF.SET",   "InStAlL",    "\"un\"",        "",          "x"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Reset();
    std::u16string line = u"\"C:\\Program Files\\Kestrovane\\setup\\ksvinstall.exe\"";
    size_t i = 0;
    if (size > 0 && data[0] < sizeof verbs / sizeof verbs[0] * 2) {
        line += u" " + sim::Widen(verbs[data[0] / 2]);
        if (data[0] % 2 && sim::AddWindow(u"Owner", u"owner"))
            line += u" " + sim::Widen(std::to_string(sim::M().nextHandle - 4));
        i = 1;
    }
    for (; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        line.push_back(c);
    }
    sim::M().commandLine = line;
    int code = RunInstaller(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000)));
    static const std::set<int> allowed = {1, 2, 3, 4, 6, 100, 101, 102, 103, 200};
    if (!allowed.count(code) || sim::LiveBlocks() != 0 || sim::BadFrees() != 0 ||
        sim::M().spooler.state != SERVICE_RUNNING)
        std::abort();
    for (const auto& entry : sim::M().files) {
        const std::vector<uint8_t>& b = entry.second.bytes;
        bool log =
            entry.first.size() > 4 && entry.first.compare(entry.first.size() - 4, 4, u".LOG") == 0;
        if (log && (b.size() < 3 || b[0] != 0xEF || b[1] != 0xBB || b[2] != 0xBF))
            std::abort();
    }
    return 0;
}
