// The simulated printer data and process start answer as Windows documents
// them: the installer's code is only as well tested as these are.
#include "tests/support/test_machine.h"

#include <string>

namespace {

using SimPrinterDataTest = MachineTest;
using SimProcessTest = MachineTest;

HANDLE Open(const char16_t* name, DWORD access) {
    HANDLE h = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name), &h, access ? &defaults : nullptr));
    return h;
}

} // namespace

TEST_F(SimPrinterDataTest, ReadsWritesAndReportsSizes) {
    sim::Printer& p = sim::AddPrinter(u"P", u"Any", u"LPT1:");
    sim::SetPrinterString(p, u"", u"SubKey", "abc");
    HANDLE reader = Open(u"P", 0);
    char name[] = "subkey";
    BYTE buffer[8] = {0};
    DWORD type = 0, needed = 0;
    EXPECT_EQ(GetPrinterDataA(reader, name, &type, buffer, 3, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(buffer[0], 0) << "a buffer too small stays untouched";
    EXPECT_EQ(GetPrinterDataA(reader, name, &type, buffer, 8, &needed), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "abc");
    EXPECT_EQ(GetPrinterDataExA(reader, "PrinterDriverData", "SubKey", &type, buffer, 8, &needed),
              0u)
        << "the plain calls' key";
    EXPECT_EQ(GetPrinterDataExA(reader, "DsUser", "SubKey", &type, buffer, 8, &needed),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrinterDataExA(reader, "", "SubKey", &type, buffer, 8, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Writing needs the right to administer the printer.
    BYTE data[] = "xyz";
    EXPECT_EQ(SetPrinterDataExA(reader, "DsUser", "SubKey", REG_SZ, data, 4),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE admin = Open(u"P", PRINTER_ACCESS_ADMINISTER);
    EXPECT_EQ(SetPrinterDataExA(admin, "DsUser", "SubKey", REG_SZ, data, 4), 0u);
    EXPECT_EQ(sim::PrinterString(p, u"dsuser", u"SUBKEY"), "xyz");

    sim::M().spooler.state = SERVICE_STOPPED;
    EXPECT_EQ(GetPrinterDataA(reader, name, &type, buffer, 8, &needed),
              static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(SetPrinterDataA(admin, name, REG_SZ, data, 4),
              static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    sim::M().spooler.state = SERVICE_RUNNING;

    // The data goes with the printer.
    HANDLE remover = Open(u"P", DELETE);
    ASSERT_TRUE(DeletePrinter(remover));
    EXPECT_EQ(GetPrinterDataA(reader, name, &type, buffer, 8, &needed),
              static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    sim::AddPrinter(u"P", u"Any", u"LPT1:");
    EXPECT_TRUE(sim::FindPrinter(u"P")->data.empty());
    for (HANDLE h : {reader, admin, remover})
        ClosePrinter(h);
}

TEST_F(SimProcessTest, CommandLineFindsTheProgramAsDocumented) {
    sim::PutFile(u"C:\\Program Files\\Sub Dir\\Program Name.exe");
    sim::PutFile(u"C:\\Program Files\\Sub.exe");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    WCHAR unquoted[] = u"C:\\Program Files\\Sub Dir\\Program Name";
    ASSERT_TRUE(CreateProcessW(nullptr, unquoted, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    EXPECT_EQ(Ascii(sim::FindProcess(info.dwProcessId)->image), "C:\\Program Files\\Sub.exe");
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    WCHAR quoted[] = u"\"C:\\Program Files\\Sub Dir\\Program Name\" /x";
    ASSERT_TRUE(CreateProcessW(nullptr, quoted, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    EXPECT_EQ(Ascii(sim::FindProcess(info.dwProcessId)->image),
              "C:\\Program Files\\Sub Dir\\Program Name.exe");
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    WCHAR missing[] = u"\"C:\\nowhere.exe\"";
    EXPECT_FALSE(CreateProcessW(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
