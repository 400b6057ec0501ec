// The simulated spooler's monitors, drivers and version resources behave as
// Windows documents them; the installer's tests rely on that.
#include "tests/support/test_machine.h"

namespace {

using SimMonitorTest = MachineTest;
using SimDriverTest = MachineTest;
using SimVersionTest = MachineTest;

const sim::Text Dll = u"C:\\Windows\\system32\\ksvmon64.dll";

BOOL AddMonitor(LPCWSTR environment, LPCWSTR dll, DWORD level = 2) {
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(u"Kestrovane:"), const_cast<LPWSTR>(environment),
                            const_cast<LPWSTR>(dll)};
    return AddMonitorW(nullptr, level, reinterpret_cast<LPBYTE>(&info));
}

BOOL DeleteMonitor() {
    return DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"Kestrovane:"));
}

} // namespace

TEST_F(SimMonitorTest, EnumerationReportsTheExactSizeAndPacksTheStrings) {
    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // "Local Port", "Windows x64", "localspl.dll" with their terminators.
    EXPECT_EQ(needed, 24u + 2 * (11 + 12 + 13));
    std::vector<BYTE> block(needed);
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, block.data(), needed - 1, &needed, &count));
    ASSERT_TRUE(EnumMonitorsW(nullptr, 2, block.data(), needed, &needed, &count));
    const MONITOR_INFO_2W* r = reinterpret_cast<const MONITOR_INFO_2W*>(block.data());
    EXPECT_EQ(reinterpret_cast<const BYTE*>(r->pName), block.data() + 24);
    EXPECT_EQ(Ascii(r->pDLLName), "localspl.dll");
    EXPECT_FALSE(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
    sim::M().spooler.state = SERVICE_STOPPED;
    EXPECT_FALSE(EnumMonitorsW(nullptr, 1, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(SimMonitorTest, RegistrationNeedsTheDllAndKeepsItLoaded) {
    EXPECT_FALSE(AddMonitor(u"Windows x64", u"ksvmon64.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    sim::PutFile(Dll, "monitor", 2501);
    EXPECT_FALSE(AddMonitor(u"Windows x64", u"ksvmon64.dll", 1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
    EXPECT_FALSE(AddMonitor(u"Windows IA64", u"ksvmon64.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ENVIRONMENT));
    ASSERT_TRUE(AddMonitor(u"Windows x64", u"ksvmon64.dll"));
    EXPECT_TRUE(sim::PortExists(u"Kestrovane:"));
    EXPECT_FALSE(AddMonitor(nullptr, u"ksvmon64.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));

    // In use while a printer prints to its port; the DLL outlives the monitor
    // until the spooler stops.
    sim::AddPrinter(u"P", u"Any", u"LPT1:,kestrovane:");
    EXPECT_FALSE(DeleteMonitor());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINT_MONITOR_IN_USE));
    sim::M().printers.clear();
    ASSERT_TRUE(DeleteMonitor());
    EXPECT_FALSE(sim::PortExists(u"Kestrovane:"));
    EXPECT_FALSE(DeleteFileW(Dll.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    sim::OnSpoolerStopped();
    EXPECT_TRUE(DeleteFileW(Dll.c_str()));
    EXPECT_FALSE(DeleteMonitor());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINT_MONITOR));
}

TEST_F(SimMonitorTest, AScriptedRefusalLastsUntilTheSpoolerStops) {
    sim::PutFile(Dll, "monitor", 2501);
    ASSERT_TRUE(AddMonitor(nullptr, u"ksvmon64.dll"));
    sim::M().monitorBusyUntilRestart = true;
    EXPECT_FALSE(DeleteMonitor());
    EXPECT_FALSE(DeleteMonitor());
    sim::OnSpoolerStopped();
    EXPECT_TRUE(DeleteMonitor());
}

TEST_F(SimDriverTest, InstallationCopiesIntoTheStoreAndDeletionRemovesIt) {
    const sim::Text staged = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
    sim::PutFile(staged + u"d.dll", "driver");
    sim::PutFile(staged + u"u.dll", "ui");
    sim::Text d = staged + u"d.dll", u = staged + u"u.dll", missing = staged + u"h.chm";
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(u"K");
    info.pDriverPath = info.pDataFile = &d[0];
    info.pConfigFile = &u[0];
    info.pHelpFile = &missing[0];
    EXPECT_FALSE(
        AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    info.pHelpFile = const_cast<LPWSTR>(u"");
    ASSERT_TRUE(
        AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(sim::FileContent(sim::DriverStore() + u"\\u.dll"), "ui");

    DWORD needed = 0, count = 0;
    const DWORD strides[] = {0, 8, 48, 80, 88, 64, 136};
    for (DWORD level = 1; level <= 6; ++level) {
        EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &count);
        std::vector<BYTE> block(needed);
        ASSERT_TRUE(
            EnumPrinterDriversW(nullptr, nullptr, level, block.data(), needed, &needed, &count));
        // The first string follows the one record directly.
        const DRIVER_INFO_1W* one = reinterpret_cast<const DRIVER_INFO_1W*>(block.data());
        const DRIVER_INFO_2W* two = reinterpret_cast<const DRIVER_INFO_2W*>(block.data());
        const WCHAR* name = level == 1 ? one->pName : two->pName;
        EXPECT_EQ(reinterpret_cast<const BYTE*>(name), block.data() + strides[level]) << level;
    }
    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 7, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));

    LPWSTR name = const_cast<LPWSTR>(u"K");
    sim::AddPrinter(u"P", u"K", u"LPT1:");
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_DRIVER_IN_USE));
    sim::M().printers.clear();
    ASSERT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_FALSE(sim::FileExists(sim::DriverStore() + u"\\d.dll"));
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINTER_DRIVER));
}

TEST_F(SimVersionTest, TheRootBlockCarriesTheBuild) {
    sim::PutFile(Dll, "monitor", 2460);
    DWORD handle = 7;
    DWORD size = GetFileVersionInfoSizeW(Dll.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(Dll.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", reinterpret_cast<LPVOID*>(&info), &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwProductVersionLS, 2460u);
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\ProductVersion",
                                reinterpret_cast<LPVOID*>(&info), &length));
    sim::PutFile(Dll, "no resource");
    EXPECT_EQ(GetFileVersionInfoSizeW(Dll.c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

// The resource is part of the file: a byte-for-byte copy has the version, a
// file written anew has none.
TEST_F(SimVersionTest, TheBuildTravelsWithTheBytes) {
    sim::PutFile(Dll, "monitor", 2460);
    const sim::Text copy = u"C:\\Windows\\system32\\copy.dll";
    HANDLE from =
        CreateFileW(Dll.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE to = CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    BYTE buffer[4096];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(from, buffer, sizeof buffer, &n, nullptr));
    ASSERT_TRUE(WriteFile(to, buffer, n, &n, nullptr));
    CloseHandle(to);
    CloseHandle(from);
    EXPECT_EQ(sim::ProductBuild(*sim::FindFile(copy)), 2460);
    EXPECT_EQ(sim::FileContent(copy), "monitor") << "the content without the resource";

    to = CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_TRUE(WriteFile(to, buffer, 7, &n, nullptr)); // the content alone
    CloseHandle(to);
    EXPECT_EQ(sim::ProductBuild(*sim::FindFile(copy)), -1);
    EXPECT_EQ(GetFileVersionInfoSizeW(copy.c_str(), nullptr), 0u);
}

// Documented: a starting spooler loads every installed monitor DLL.
TEST_F(SimMonitorTest, AStartingSpoolerLoadsTheRegisteredMonitors) {
    sim::PutFile(Dll, "monitor", 2501);
    ASSERT_TRUE(AddMonitor(nullptr, u"ksvmon64.dll"));
    sim::OnSpoolerStopped();
    EXPECT_FALSE(sim::FindFile(Dll)->loadedBySpooler);
    sim::OnSpoolerStarted();
    EXPECT_TRUE(sim::FindFile(Dll)->loadedBySpooler);
    sim::Reboot();
    EXPECT_TRUE(sim::FindFile(Dll)->loadedBySpooler) << "the spooler runs after a restart";
    ASSERT_TRUE(DeleteMonitor());
    sim::Reboot();
    EXPECT_FALSE(sim::FindFile(Dll)->loadedBySpooler);
}

// Documented: the driver of an open printer at levels 1 to 6 (8 is not
// modelled), for the given environment or, without one, the caller's.
TEST_F(SimDriverTest, AnOpenPrintersDriverIsDescribedAtEveryLevel) {
    sim::Driver k;
    k.name = u"K";
    k.environment = u"Windows x64";
    k.driverPath = u"C:\\store\\d.dll";
    sim::M().drivers.push_back(k);
    sim::AddPrinter(u"P", u"K", u"LPT1:");
    sim::AddPrinter(u"Q", u"Not installed", u"LPT1:");
    HANDLE p = nullptr, q = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"P"), &p, nullptr));
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Q"), &q, nullptr));
    const DWORD strides[] = {0, 8, 48, 80, 88, 64, 136};
    for (DWORD level = 1; level <= 6; ++level) {
        DWORD needed = 0;
        EXPECT_FALSE(GetPrinterDriverW(p, nullptr, level, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        std::vector<BYTE> block(needed);
        ASSERT_TRUE(GetPrinterDriverW(p, nullptr, level, block.data(), needed, &needed)) << level;
        const WCHAR* name = level == 1 ? reinterpret_cast<DRIVER_INFO_1W*>(block.data())->pName
                                       : reinterpret_cast<DRIVER_INFO_2W*>(block.data())->pName;
        EXPECT_EQ(reinterpret_cast<const BYTE*>(name), block.data() + strides[level]) << level;
        EXPECT_EQ(Ascii(name), "K");
    }
    DWORD needed = 0;
    std::vector<BYTE> block(1024);
    ASSERT_TRUE(
        GetPrinterDriverW(p, const_cast<LPWSTR>(u"windows x64"), 2, block.data(), 1024, &needed));
    EXPECT_EQ(Ascii(reinterpret_cast<DRIVER_INFO_2W*>(block.data())->pDriverPath),
              "C:\\store\\d.dll");
    const struct {
        HANDLE printer;
        const char16_t* environment;
        DWORD level;
        DWORD error;
    } failures[] = {
        {p, u"Windows NT x86", 2, ERROR_UNKNOWN_PRINTER_DRIVER},
        {q, nullptr, 2, ERROR_UNKNOWN_PRINTER_DRIVER},
        {p, u"Windows IA64", 2, ERROR_INVALID_ENVIRONMENT},
        {p, nullptr, 7, ERROR_INVALID_LEVEL},
    };
    for (const auto& f : failures) {
        EXPECT_FALSE(GetPrinterDriverW(f.printer, const_cast<LPWSTR>(f.environment), f.level,
                                       block.data(), 1024, &needed));
        EXPECT_EQ(GetLastError(), f.error);
    }
    ClosePrinter(q);
    ClosePrinter(p);
}
