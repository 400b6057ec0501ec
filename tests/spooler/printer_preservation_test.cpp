#include "spooler/printer_preservation.h"

#include "tests/spooler/spooler_steps.h"

#include <string>
#include <vector>

namespace {

using PreservationTest = SpoolerStepTest;
using Lines = std::vector<std::string>;

const sim::Text OurDriver = u"Kestrovane printer";
const sim::Text SettingsKey = u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\Kestrovanes\\";

// The state a reinstall finds and re-creates the printers into: our monitor
// and our driver registered.
void RegisterMonitorAndDriver() {
    RegisterOurMonitor(2501);
    sim::Driver d;
    d.name = OurDriver;
    d.environment = u"Windows x64";
    sim::M().drivers.push_back(d);
}

// One of the user's queues on our driver, with its settings link where given
// ("" leaves that place empty).
sim::Printer& AddOurPrinter(const sim::Text& name, const std::string& plainSubKey,
                            const std::string& userSubKey = "") {
    sim::Printer& p = sim::AddPrinter(name, OurDriver, u"Kestrovane:");
    if (!plainSubKey.empty())
        sim::SetPrinterString(p, u"", u"SubKey", plainSubKey);
    if (!userSubKey.empty())
        sim::SetPrinterString(p, u"DsUser", u"SubKey", userSubKey);
    return p;
}

// The per-user settings of a queue as the product's other programs leave
// them when the queue was deleted.
void PutSettings(const std::string& subKey) {
    sim::SetStringValue(SettingsKey + sim::Widen(subKey), u"deleted", u"1");
    sim::SetStringValue(SettingsKey + sim::Widen(subKey), u"Resolution", u"600");
}

bool MarkedDeleted(const std::string& subKey) {
    return sim::FindValue(SettingsKey + sim::Widen(subKey), u"deleted") != nullptr;
}

std::vector<std::string> PrinterNames() {
    std::vector<std::string> names;
    for (const sim::Printer& p : sim::M().printers)
        names.push_back(Ascii(p.name));
    return names;
}

std::vector<std::string> SavedNames(const InstallContext& context) {
    std::vector<std::string> names;
    for (SavedPrinter* node = context.SavedPrinters; node; node = node->next)
        names.push_back(Ascii(node->info.pPrinterName) + "=" +
                        (node->subKey ? node->subKey : "(none)"));
    return names;
}

// The first half of a reinstall: our queues saved, then deleted.
void SaveAndRemove(InstallContext& context) {
    EXPECT_TRUE(SavePrinters(context));
    RemoveAllPrinters(context);
}

} // namespace

TEST_F(PreservationTest, WithoutOurPrintersOneKestrovaneIsCreated) {
    RegisterMonitorAndDriver();
    AddForeignPrinter(u"Office", u"LPT1:");
    Start();
    SaveAndRemove(context);
    EXPECT_EQ(NewLines(), Lines{">DeleteAllPrinters"});
    EXPECT_EQ(context.SavedPrinters, nullptr);
    Mark();
    RestorePrinters(context);
    EXPECT_EQ(NewLines(), (Lines{">AddPrinter(Kestrovane)", "  Let's check our port monitors",
                                 "  Port monitor is found", "  OK :)"}));
    EXPECT_EQ(PrinterNames(), (Lines{"Office", "Kestrovane"}));
    sim::Printer* p = sim::FindPrinter(u"Kestrovane");
    EXPECT_EQ(Ascii(p->port), "Kestrovane:");
    EXPECT_EQ(Ascii(p->driver), "Kestrovane printer");
    EXPECT_EQ(Ascii(p->printProcessor), "WinPrint");
    EXPECT_EQ(Ascii(p->comment), "");
    EXPECT_EQ(Ascii(p->location), "");
    EXPECT_EQ(Ascii(p->datatype), "RAW");
    EXPECT_TRUE(p->datatypeGiven) << "Wine's spooler makes a broken queue without a data type";
    EXPECT_TRUE(p->data.empty());
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Printer), 0u);
}

TEST_F(PreservationTest, OnlyTheExactDriverNameIsOurs) {
    RegisterMonitorAndDriver();
    sim::Printer& other = sim::AddPrinter(u"Lookalike", u"kestrovane PRINTER", u"Kestrovane:");
    sim::SetPrinterString(other, u"", u"SubKey", "look");
    AddOurPrinter(u"Ours", "");
    Start();
    SaveAndRemove(context);
    EXPECT_EQ(NewLines(), (Lines{">DeleteAllPrinters", "  >DeletePrinter(Ours)", "    OK"}));
    EXPECT_EQ(PrinterNames(), Lines{"Lookalike"});
    // Without a SubKey "Ours" is still remembered and comes back as it was,
    // so no fallback queue is needed.
    EXPECT_EQ(SavedNames(context), Lines{"Ours=(none)"});
    RestorePrinters(context);
    EXPECT_EQ(PrinterNames(), (Lines{"Lookalike", "Ours"}));
    EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(u"Ours"), u"DsUser", u"SubKey"), "");
    EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(u"Lookalike"), u"", u"SubKey"), "look");
}

// Printers are deleted in inventory order and re-created in the reverse
// order, each with its SubKey in both places, its comment and location.
TEST_F(PreservationTest, SavedPrintersComeBackInReverseOrder) {
    RegisterMonitorAndDriver();
    sim::Printer& a = AddOurPrinter(u"A", "alpha");
    a.comment = u"first floor";
    a.location = u"room 1";
    AddForeignPrinter(u"Office", u"LPT1:");
    sim::Printer& b = AddOurPrinter(u"B", "", "beta"); // only under "DsUser"
    b.comment = u"second floor";
    PutSettings("alpha");
    PutSettings("beta");
    Start();
    SaveAndRemove(context);
    EXPECT_EQ(NewLines(), (Lines{">DeleteAllPrinters", "  >DeletePrinter(A)", "    OK",
                                 "  >DeletePrinter(B)", "    OK"}));
    EXPECT_EQ(SavedNames(context), (Lines{"B=beta", "A=alpha"}));
    EXPECT_EQ(PrinterNames(), Lines{"Office"});
    Mark();
    RestorePrinters(context);
    EXPECT_EQ(NewLines(),
              (Lines{">AddPrinter(B)", "  Let's check our port monitors", "  Port monitor is found",
                     "  OK :)", ">AddPrinter(A)", "  Let's check our port monitors",
                     "  Port monitor is found", "  OK :)"}));
    EXPECT_EQ(PrinterNames(), (Lines{"Office", "B", "A"}));
    for (const auto& expected : {std::make_pair(u"A", "alpha"), std::make_pair(u"B", "beta")}) {
        sim::Printer& p = *sim::FindPrinter(expected.first);
        EXPECT_EQ(sim::PrinterString(p, u"", u"SubKey"), expected.second);
        EXPECT_EQ(sim::PrinterString(p, u"DsUser", u"SubKey"), expected.second);
        EXPECT_EQ(sim::FindPrinterData(p, u"PrinterDriverData", u"SubKey")->type,
                  static_cast<DWORD>(REG_SZ));
        EXPECT_FALSE(MarkedDeleted(expected.second));
        EXPECT_NE(sim::FindValue(SettingsKey + sim::Widen(expected.second), u"Resolution"),
                  nullptr);
    }
    EXPECT_EQ(Ascii(sim::FindPrinter(u"A")->comment), "first floor");
    EXPECT_EQ(Ascii(sim::FindPrinter(u"A")->location), "room 1");
    EXPECT_EQ(Ascii(sim::FindPrinter(u"B")->comment), "second floor");
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Printer), 0u);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u);
}

TEST_F(PreservationTest, OnlyTheFormerDefaultBecomesDefaultAgain) {
    RegisterMonitorAndDriver();
    AddOurPrinter(u"A", "alpha");
    AddOurPrinter(u"B", "beta");
    sim::M().defaultPrinter = u"B";
    Start();
    SaveAndRemove(context);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "");
    RestorePrinters(context);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "B");
    FreeContext(context);

    // A default printer of another driver stays the default.
    sim::Reset();
    RegisterMonitorAndDriver();
    AddOurPrinter(u"A", "alpha");
    AddForeignPrinter(u"Office", u"LPT1:");
    sim::M().defaultPrinter = u"Office";
    Start();
    SaveAndRemove(context);
    RestorePrinters(context);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "Office");
    EXPECT_NE(sim::FindPrinter(u"A"), nullptr);
}

// The write under "DsUser" decides whether the "deleted" mark goes; the rest
// of the printer comes back either way.
TEST_F(PreservationTest, TheUserKeyWriteDecidesTheMarker) {
    for (const char* failing : {"SetPrinterDataA", "SetPrinterDataExA"}) {
        sim::Reset();
        RegisterMonitorAndDriver();
        sim::Printer& a = AddOurPrinter(u"A", "alpha");
        a.location = u"hall";
        sim::M().defaultPrinter = u"A";
        PutSettings("alpha");
        // A key of the same name outside "Kestrovanes\" is not ours to touch.
        sim::SetStringValue(u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\alpha", u"deleted",
                            u"1");
        InstallContext run{};
        InitContext(run, Mode64Bit);
        SaveAndRemove(run);
        sim::FailCall(failing, ERROR_ACCESS_DENIED, sim::CallCount(failing) + 1);
        RestorePrinters(run);
        bool userKeyWritten = std::string(failing) == "SetPrinterDataA";
        EXPECT_EQ(MarkedDeleted("alpha"), !userKeyWritten) << failing;
        EXPECT_NE(
            sim::FindValue(u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\alpha", u"deleted"),
            nullptr);
        sim::Printer* p = sim::FindPrinter(u"A");
        ASSERT_NE(p, nullptr) << failing;
        EXPECT_EQ(Ascii(p->location), "hall") << failing;
        EXPECT_EQ(Ascii(sim::M().defaultPrinter), "A") << failing;
        EXPECT_EQ(run.ErrorCount, 1) << "the link is not whole: said so, and kept for later";
        FreeContext(run);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
    }
}

// A settings link of any length comes back whole, also from a spooler that
// sizes the string as UTF-16 (and so asks for more than 64 bytes even for
// one that fits).
TEST_F(PreservationTest, SubKeyOfAnyLength) {
    const std::string fits(63, 'k'), longer(64, 'x'), huge(300, 'h');
    for (bool unicodeSize : {false, true}) {
        sim::Reset();
        sim::M().printerDataUnicodeSize = unicodeSize;
        RegisterMonitorAndDriver();
        AddOurPrinter(u"Fits", fits, fits);
        AddOurPrinter(u"Long", longer, longer);
        AddOurPrinter(u"Huge", "", huge);
        PutSettings(fits);
        Start();
        SaveAndRemove(context);
        EXPECT_EQ(SavedNames(context), (Lines{"Huge=" + huge, "Long=" + longer, "Fits=" + fits}))
            << unicodeSize;
        EXPECT_EQ(PrinterNames(), Lines{});
        RestorePrinters(context);
        EXPECT_EQ(PrinterNames(), (Lines{"Huge", "Long", "Fits"}));
        for (auto q : {std::make_pair(u"Fits", fits), std::make_pair(u"Long", longer),
                       std::make_pair(u"Huge", huge)}) {
            EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(q.first), u"", u"SubKey"), q.second);
            EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(q.first), u"DsUser", u"SubKey"),
                      q.second);
        }
        EXPECT_FALSE(MarkedDeleted(fits));
        EXPECT_EQ(context.ErrorCount, 0);
        FreeContext(context);
    }
}

TEST_F(PreservationTest, SubKeyIsReadFromTheFirstPlaceThatHoldsAString) {
    RegisterMonitorAndDriver();
    Start();
    sim::Printer& p = AddOurPrinter(u"P", "");
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"P"), &printer, nullptr));
    const struct {
        const char* what;
        DWORD plainType;
        std::string plain;
        std::string user;
        std::string read;
    } cases[] = {
        {"neither place", REG_NONE, "", "", ""},
        {"plain", REG_SZ, "plain", "user", "plain"},
        {"plain not a string", REG_BINARY, "bin", "user", "user"},
        {"user only", REG_NONE, "", "user", "user"},
    };
    for (const auto& c : cases) {
        p.data.clear();
        if (c.plainType != REG_NONE)
            sim::SetPrinterData(
                p, u"", u"SubKey", c.plainType,
                std::vector<uint8_t>(c.plain.c_str(), c.plain.c_str() + c.plain.size() + 1));
        if (!c.user.empty())
            sim::SetPrinterString(p, u"DsUser", u"SubKey", c.user);
        char* read = nullptr;
        EXPECT_TRUE(ReadSubKey(printer, read));
        EXPECT_EQ(std::string(read ? read : ""), c.read) << c.what;
        GlobalFree(read);
    }
    ClosePrinter(printer);
}

// Other programs may store the string without its terminator: the text
// ends where its bytes end.
TEST_F(PreservationTest, SubKeyWithoutTerminatorEndsWithItsBytes) {
    RegisterMonitorAndDriver();
    Start();
    sim::Printer& p = AddOurPrinter(u"P", "");
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"P"), &printer, nullptr));
    for (const std::string& text : {std::string("abcde"), std::string(64, 'f')}) {
        sim::SetPrinterData(p, u"", u"SubKey", REG_SZ,
                            std::vector<uint8_t>(text.begin(), text.end()));
        char* read = nullptr;
        EXPECT_TRUE(ReadSubKey(printer, read));
        EXPECT_EQ(std::string(read ? read : ""), text);
        GlobalFree(read);
    }
    ClosePrinter(printer);
}

TEST_F(PreservationTest, FailuresAreLoggedAndTheRunGoesOn) {
    RegisterMonitorAndDriver();
    AddOurPrinter(u"B", "beta");
    AddOurPrinter(u"C", "gamma");
    Start();
    // B refuses the deletion; C goes.
    sim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED, sim::CallCount("DeletePrinter") + 1);
    SaveAndRemove(context);
    EXPECT_EQ(NewLines(), (Lines{">DeleteAllPrinters", "  >DeletePrinter(B)",
                                 "    Error(17): Can`t delete printer 'B' - (Access is denied.)",
                                 "  >DeletePrinter(C)", "    OK"}));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(PrinterNames(), (Lines{"B"}));
    EXPECT_EQ(SavedNames(context), (Lines{"C=gamma", "B=beta"}));
    Mark();
    // B still exists, so adding it fails; C comes back.
    RestorePrinters(context);
    const std::string exists = " - (The printer already exists.)";
    EXPECT_EQ(NewLines(),
              (Lines{">AddPrinter(C)", "  Let's check our port monitors", "  Port monitor is found",
                     "  OK :)", ">AddPrinter(B)", "  Let's check our port monitors",
                     "  Port monitor is found", "  Error(15): Can`t add printer 'B'" + exists}));
    EXPECT_EQ(context.ErrorCount, 2);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Printer), 0u);
}

// A queue that cannot be read whole before the deletion, or a record that
// cannot be written: nothing is deleted, and the log says why.
TEST_F(PreservationTest, WhatCannotBeSavedIsNotDeleted) {
    const struct {
        const char* call;
        DWORD error;
        int nth;
        std::string line;
    } cases[] = {
        {"OpenPrinterW", ERROR_ACCESS_DENIED, 1,
         "Error(16): Can`t open printer 'Front desk' - (Access is denied.)"},
        {"GetPrinterDataExA", ERROR_ACCESS_DENIED, 1,
         "Error(21): Can`t keep the settings link of printer 'Front desk' - (Access is denied.)"},
        {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE, 1,
         "Error(21): Can`t keep the permissions of printer 'Front desk' - (The RPC server is "
         "unavailable.)"},
        {"RegSetValueExW", ERROR_ACCESS_DENIED, 1,
         "Error(19): Can`t keep the saved printers in HKLM\\SOFTWARE\\Vorland Software "
         "KFT\\Kestrovane\\Installer - (Access is denied.)"},
        {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1,
         "Error(19): Can`t keep the saved printers in HKLM\\SOFTWARE\\Vorland Software "
         "KFT\\Kestrovane\\Installer - (Not enough memory resources are available to process "
         "this command.)"},
    };
    for (const auto& c : cases) {
        sim::Reset();
        RegisterMonitorAndDriver();
        sim::Printer& p = AddOurPrinter(u"Front desk", "", "desk-1"); // under "DsUser" only
        p.comment = u"lobby";
        Start();
        sim::FailCall(c.call, c.error, sim::CallCount(c.call) + c.nth);
        EXPECT_FALSE(SavePrinters(context)) << c.call;
        EXPECT_EQ(NewLines(), Lines{c.line}) << c.call;
        EXPECT_EQ(PrinterNames(), Lines{"Front desk"});
        EXPECT_EQ(sim::FindValue(u"HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer",
                                 u"SavedPrinters"),
                  nullptr);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Printer), 0u) << c.call;
        FreeContext(context);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << c.call;
    }
}

// Nothing could be re-created: no fallback queue is made beside the one
// that comes back with the next install, and the monitor list shows why
// the port is missing.
TEST_F(PreservationTest, NoPrinterComesBackWithoutThePortMonitor) {
    AddOurPrinter(u"A", "alpha");
    Start();
    SaveAndRemove(context);
    Mark();
    RestorePrinters(context);
    const std::string unknown = " - (The specified port is unknown.)";
    EXPECT_EQ(NewLines(), (Lines{">AddPrinter(A)", "  Let's check our port monitors",
                                 "  No Kestrovane port monitor was found.",
                                 "  ------- 1 existing monitors ----------", "  1. Local Port",
                                 "  ---------------------------------------",
                                 "  Error(15): Can`t add printer 'A'" + unknown}));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(PrinterNames(), Lines{});
    EXPECT_NE(sim::FindValue(u"HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer",
                             u"SavedPrinters"),
              nullptr)
        << "A waits in the record";

    Mark();
    sim::M().monitors.clear();
    EXPECT_EQ(CreatePrinter(context, nullptr), nullptr);
    EXPECT_EQ(NewLines(),
              (Lines{">AddPrinter(*)", "  Let's check our port monitors",
                     "  1. EnumMonitors returns true", "  No Kestrovane port monitor was found.",
                     "  BTW, there is no port monitors on this system.",
                     "  Error(15): Can`t add printer '*' - (The printer name is "
                     "invalid.)"}));
}

// The log of one printer, line for line, at the depths its callers were at.
TEST_F(PreservationTest, LogOfOnePrinterAtItsCallersDepths) {
    RegisterMonitorAndDriver();
    AddOurPrinter(u"P", "pee");
    Start();
    context.LogDepth = 3;
    SaveAndRemove(context);
    context.LogDepth = 2;
    RestorePrinters(context);
    EXPECT_EQ(context.LogDepth, 2);
    context.LogDepth = 0;
    EXPECT_EQ(NewLines(),
              (Lines{"      >DeleteAllPrinters", "        >DeletePrinter(P)", "          OK",
                     "    >AddPrinter(P)", "      Let's check our port monitors",
                     "      Port monitor is found", "      OK :)"}));
}

TEST_F(PreservationTest, ClearDeletedMarkerOnlyRemovesTheMark) {
    PutSettings("k");
    sim::SetStringValue(u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\Kestrovanes\\j",
                        u"other", u"1");
    EXPECT_TRUE(ClearDeletedMarker("Kestrovanes\\k"));
    EXPECT_FALSE(MarkedDeleted("k"));
    EXPECT_FALSE(ClearDeletedMarker("Kestrovanes\\k")) << "already gone";
    EXPECT_FALSE(ClearDeletedMarker("Kestrovanes\\j")) << "no such value";
    EXPECT_FALSE(ClearDeletedMarker("Kestrovanes\\missing")) << "no such key";
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

// Through the verbs: an install gives the queues back, an uninstall only
// takes them away (its saved list is released unread).
TEST_F(PreservationTest, InstallKeepsTheQueuesAndUninstallRemovesThem) {
    PutComponents();
    RegisterMonitorAndDriver();
    sim::Printer& a = AddOurPrinter(u"A", "alpha");
    a.comment = u"first floor";
    AddOurPrinter(u"B", "", "beta");
    AddForeignPrinter(u"Office", u"LPT1:");
    sim::M().defaultPrinter = u"A";
    PutSettings("alpha");
    RunCommand("ksvinstall.exe install");
    EXPECT_EQ(PrinterNames(), (Lines{"Office", "B", "A"}));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"A")->comment), "first floor");
    EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(u"B"), u"", u"SubKey"), "beta");
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "A");
    EXPECT_FALSE(MarkedDeleted("alpha"));

    RunCommand("ksvinstall.exe uninstall");
    EXPECT_EQ(PrinterNames(), Lines{"Office"});
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}
