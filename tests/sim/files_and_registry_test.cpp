// The simulated file system, registry and printer deletion against what
// Windows documents (and, for the pending renames, what Wine was seen to write).
#include "tests/support/test_machine.h"

namespace {

const sim::Text Dir = u"C:\\Windows\\system32\\";

std::vector<uint8_t> Units(const sim::Text& text) {
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

using SimFilesTest = MachineTest;
using SimRegistryTest = MachineTest;

} // namespace

TEST_F(SimFilesTest, DeleteFileErrorsAreWindowsOwn) {
    sim::PutFile(Dir + u"loaded.dll").loadedBySpooler = true;
    sim::PutFile(Dir + u"open.dll");
    HANDLE reader =
        CreateFileW((Dir + u"open.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const struct {
        sim::Text path;
        DWORD error;
    } cases[] = {
        {Dir + u"missing.dll", ERROR_FILE_NOT_FOUND}, {u"C:\\nowhere\\x.dll", ERROR_PATH_NOT_FOUND},
        {Dir + u"loaded.dll", ERROR_ACCESS_DENIED},   {u"C:\\Windows", ERROR_ACCESS_DENIED},
        {Dir + u"open.dll", ERROR_SHARING_VIOLATION}, // open without FILE_SHARE_DELETE
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(DeleteFileW(c.path.c_str())) << Ascii(c.path);
        EXPECT_EQ(GetLastError(), c.error) << Ascii(c.path);
    }
    CloseHandle(reader);
    EXPECT_TRUE(DeleteFileW((Dir + u"open.dll").c_str()));

    // The spooler lets go of what it loaded when it stops, unless scripted not to.
    sim::File& locked = sim::PutFile(Dir + u"locked.dll");
    locked.loadedBySpooler = locked.lockedThroughRestart = true;
    sim::OnSpoolerStopped();
    EXPECT_TRUE(DeleteFileW((Dir + u"loaded.dll").c_str()));
    EXPECT_FALSE(DeleteFileW((Dir + u"locked.dll").c_str()));
}

TEST_F(SimFilesTest, WritingNeedsWriteSharingFromEveryOtherHandle) {
    sim::PutFile(Dir + u"a.dll", "old");
    HANDLE reader = CreateFileW((Dir + u"a.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(CreateFileW((Dir + u"a.dll").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    HANDLE second = CreateFileW((Dir + u"a.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "readers that share reading get along";
    CloseHandle(second);
    CloseHandle(reader);
    HANDLE writer = CreateFileW((Dir + u"a.dll").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(sim::FileContent(Dir + u"a.dll"), "");

    // A full disk takes nothing of a write that does not fit.
    sim::M().diskSpace = 5;
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(writer, "abc", 3, &written, nullptr));
    EXPECT_FALSE(WriteFile(writer, "defg", 4, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(sim::FileContent(Dir + u"a.dll"), "abc");
    CloseHandle(writer);
}

TEST_F(SimFilesTest, FileHeldForAWhileIsFreeOnTime) {
    sim::File& f = sim::PutFile(Dir + u"a.dll");
    f.heldOpen = true;
    f.heldUntil = sim::M().tick + 100;
    EXPECT_FALSE(DeleteFileW((Dir + u"a.dll").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    Sleep(99);
    EXPECT_FALSE(DeleteFileW((Dir + u"a.dll").c_str()));
    Sleep(1);
    EXPECT_TRUE(DeleteFileW((Dir + u"a.dll").c_str()));
}

TEST_F(SimFilesTest, PathsAreNormalisedAsWindowsDoes) {
    sim::PutFile(Dir + u"a.dll");
    for (const char16_t* name :
         {u"C:/Windows/system32/a.dll", u"c:\\windows\\.\\system32\\a.dll",
          u"C:\\Windows\\x\\..\\system32\\\\a.dll", u"\\\\?\\C:\\Windows\\system32\\a.dll"})
        EXPECT_EQ(GetFileAttributesW(name), DWORD(FILE_ATTRIBUTE_ARCHIVE)) << Ascii(name);
    EXPECT_EQ(GetFileAttributesW(W("\\??\\C:\\Windows\\system32\\a.dll")), INVALID_FILE_ATTRIBUTES)
        << "an NT name is no Win32 path";
}

// The bytes Wine 8 wrote for the same calls (tests/wine/renames compares
// them with a real prefix).
TEST_F(SimFilesTest, DelayedOperationsAreRecordedAsTheSystemRecordsThem) {
    const struct {
        const char16_t* from;
        const char16_t* to;
        DWORD flags;
    } calls[] = {
        {u"C:\\ksv\\a.dll", nullptr, 0},
        {u"C:/ksv/b.dll", nullptr, 0},
        {u"\\\\?\\C:\\ksv\\c.dll", nullptr, 0},
        {u"c:\\ksv\\.\\d.dll", nullptr, 0},
        {u"C:\\ksv\\e.dll", u"C:\\ksv\\f.dll", 0},
        {u"C:\\ksv\\e.dll", u"C:\\ksv\\g.dll", MOVEFILE_REPLACE_EXISTING},
        {u"\\\\srv\\share\\h.dll", nullptr, 0},
    };
    for (const auto& c : calls)
        EXPECT_TRUE(MoveFileExW(c.from, c.to, MOVEFILE_DELAY_UNTIL_REBOOT | c.flags));
    sim::Text nul(1, u'\0');
    sim::Text expected = sim::Text(u"\\??\\C:\\ksv\\a.dll") + nul + nul + u"\\??\\C:\\ksv\\b.dll" +
                         nul + nul + u"\\??\\C:\\ksv\\c.dll" + nul + nul + u"\\??\\c:\\ksv\\d.dll" +
                         nul + nul + u"\\??\\C:\\ksv\\e.dll" + nul + u"\\??\\C:\\ksv\\f.dll" + nul +
                         u"\\??\\C:\\ksv\\e.dll" + nul + u"!\\??\\C:\\ksv\\g.dll" + nul +
                         u"\\??\\UNC\\srv\\share\\h.dll" + nul + nul + nul;
    sim::RegValue* value = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(value->data, Units(expected));

    EXPECT_FALSE(MoveFileExW(W("C:\\ksv\\a.dll"), nullptr,
                             MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(SimFilesTest, RestartCarriesOutWhatCanBeDone) {
    sim::MakeDirectory(u"C:\\ksv");
    sim::MakeDirectory(u"C:\\ksv\\empty");
    sim::MakeDirectory(u"C:\\ksv\\full");
    sim::PutFile(u"C:\\ksv\\full\\x");
    sim::PutFile(u"C:\\ksv\\a", "a");
    sim::PutFile(u"C:\\ksv\\b", "b");
    sim::PutFile(u"C:\\ksv\\c", "c");
    sim::PutFile(u"C:\\ksv\\d", "d");
    for (const char16_t* gone : {u"C:\\ksv\\empty", u"C:\\ksv\\full", u"C:\\ksv\\missing"})
        MoveFileExW(gone, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(W("C:\\ksv\\a"), W("C:\\ksv\\b"), MOVEFILE_DELAY_UNTIL_REBOOT); // b is in the way
    MoveFileExW(W("C:\\ksv\\c"), W("C:\\ksv\\d"),
                MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
    sim::Reboot();
    EXPECT_EQ(sim::FindFile(u"C:\\ksv\\empty"), nullptr);
    EXPECT_NE(sim::FindFile(u"C:\\ksv\\full"), nullptr) << "a directory goes only when empty";
    EXPECT_EQ(sim::FileContent(u"C:\\ksv\\a"), "a");
    EXPECT_EQ(sim::FileContent(u"C:\\ksv\\b"), "b");
    EXPECT_FALSE(sim::FileExists(u"C:\\ksv\\c"));
    EXPECT_EQ(sim::FileContent(u"C:\\ksv\\d"), "c");
    EXPECT_EQ(sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations"), nullptr);
}

TEST_F(SimFilesTest, PrinterWithJobsIsOnlyMarkedForDeletion) {
    sim::AddPrinter(u"Busy", u"Vendor PCL", u"LPT1:").jobs = 1;
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(W("Busy")), &printer, &all));
    EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
    EXPECT_FALSE(DeletePrinter(printer)) << "paused with jobs";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_RESUME));
    EXPECT_TRUE(DeletePrinter(printer));
    DWORD needed = 0, returned = 0;
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned));
    EXPECT_EQ(returned, 0u) << "no longer listed";
    HANDLE again = nullptr;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(W("Busy")), &again, nullptr));
    EXPECT_NE(sim::FindPrinter(u"Busy"), nullptr);
    EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_EQ(sim::FindPrinter(u"Busy"), nullptr) << "gone with its last job";
    ClosePrinter(printer);
}

TEST_F(SimRegistryTest, QueryingAValueTakesTwoCalls) {
    sim::SetValue(u"HKLM\\SOFTWARE\\K", u"V", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\k", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, W("v"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    BYTE data[8] = {0};
    size = 4;
    EXPECT_EQ(RegQueryValueExW(key, W("V"), nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegQueryValueExW(key, W("V"), nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 'a');
    EXPECT_EQ(RegQueryValueExW(key, W("V"), nullptr, nullptr, data, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, W("missing"), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(key, W("V"), 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED)
        << "KEY_READ cannot set";
    EXPECT_EQ(RegDeleteValueW(key, W("V")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistryTest, KeysOpenAtEveryLevel) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "a parent of the Session Manager's key";
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(""), 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Nothing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u);
}
