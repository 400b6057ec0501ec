#include "tests/support/test_machine.h"

#include "install/front_end.h"

void MachineTest::SetUp() {
    sim::Reset();
}

void MachineTest::TearDown() {
    EXPECT_EQ(sim::BadFrees(), 0) << "a block was freed twice";
}

std::string Ascii(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text && text[i]; ++i)
        out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return out;
}

std::string Ascii(const sim::Text& text) {
    return sim::Narrow(text);
}

std::string LogText(const InstallContext& context) {
    return Ascii(Text(context.LogText));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> LogLines(const InstallContext& context) {
    return SplitLines(LogText(context));
}

int RunCommand(const std::string& commandLine) {
    sim::M().commandLine = sim::Widen(commandLine);
    return RunInstaller(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000)));
}

void PlacePackage(int build) {
    const sim::Text setup = u"C:\\Program Files\\Kestrovane\\setup\\";
    sim::PutFile(setup + u"ksvinstall.exe", "installer", 2501);
    sim::PutFile(setup + u"ksvmon64.dll", "port monitor", build);
    sim::PutFile(setup + u"ksvdrv64.dll", "printer driver", build);
    sim::PutFile(setup + u"ksvui64.dll", "driver user interface", build);
    sim::PutFile(setup + u"ksvhelp.chm", "help");
    sim::PutFile(u"C:\\Program Files\\Kestrovane\\kestray.exe", "tray program", build);
}

std::string BrokenRegistrations() {
    std::string broken;
    for (const sim::Monitor& m : sim::M().monitors)
        if (m.name == u"Kestrovane:" && !sim::FileExists(sim::M().systemDir + u"\\" + m.dll))
            broken += "monitor registered without " + Ascii(m.dll) + "; ";
    if (const sim::Driver* d = sim::FindDriver(u"Kestrovane printer"))
        for (const sim::Text& file : {d->driverPath, d->dataFile, d->configFile, d->helpFile})
            if (!file.empty() && !sim::FileExists(file))
                broken += "driver registered without " + Ascii(file) + "; ";
    return broken;
}
