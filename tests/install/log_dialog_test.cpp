#include "install/report/log_dialog.h"

#include "run/install_log.h"
#include "run/module.h"
#include "tests/support/test_machine.h"

namespace {

class LogDialogTest : public MachineTest {
  protected:
    InstallContext context{};
    void SetUp() override {
        MachineTest::SetUp();
        ModuleInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
    }
    void TearDown() override {
        Release(context.LogText);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        MachineTest::TearDown();
    }
    const sim::DialogRecord& Show(HWND owner = nullptr) {
        ShowLogDialog(context, owner);
        EXPECT_FALSE(sim::M().dialogs.empty());
        return sim::M().dialogs.back();
    }
};

} // namespace

TEST_F(LogDialogTest, TitleTellsWhetherErrorsWereCounted) {
    LogLine(context, W("Kestrovane %d"), 2501);
    EXPECT_EQ(Ascii(Show().title), "Kestrovane build 2501- Install log.");

    LogError(context, ErrSystemDirectory, 0);
    EXPECT_EQ(Ascii(Show().title), "Kestrovane build 2501- Install error log!");
}

TEST_F(LogDialogTest, ShowsTheLogAsItIsWhenOpened) {
    LogLine(context, W("Kestrovane %d"), 2501);
    context.LogDepth = 1;
    LogLine(context, W(">Check Spooler"));
    const sim::DialogRecord& shown = Show();
    EXPECT_EQ(shown.itemText, sim::Text(Text(context.LogText)));
    EXPECT_EQ(Ascii(shown.itemText), "Kestrovane 2501\r\n  >Check Spooler\r\n");
    EXPECT_EQ(shown.resource, 101);
    EXPECT_EQ(shown.instance, ModuleInstance);
    EXPECT_TRUE(shown.initReturnedZero);

    Release(context.LogText);
    EXPECT_EQ(Show().itemText, sim::Text()) << "an empty log shows an empty field";
}

TEST_F(LogDialogTest, EveryWayOfClosingEndsTheDialog) {
    const struct {
        sim::DialogClose close;
        INT_PTR result;
    } cases[] = {
        {sim::DialogClose::Ok, 1}, {sim::DialogClose::Cancel, 0}, {sim::DialogClose::Enter, 1}};
    for (const auto& c : cases) {
        sim::M().dialogClose = c.close;
        EXPECT_EQ(Show().result, c.result);
    }
    EXPECT_EQ(sim::CallCount("EndDialog"), 3);
}

TEST_F(LogDialogTest, OwnerIsPassedThrough) {
    HWND setup = sim::AddWindow(u"SetupWindow", u"Setup");
    EXPECT_EQ(Show(setup).owner, setup);
    EXPECT_EQ(Show(nullptr).owner, nullptr);

    // Documented: an owner that is no window fails the call with 0, not -1.
    sim::FindWindowByHandle(setup)->alive = false;
    EXPECT_EQ(DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(101), setup, LogDialogProc,
                              reinterpret_cast<LPARAM>(&context)),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(LogDialogTest, ProcedureIgnoresOtherCommandsAndReturnsZero) {
    HWND dialog = sim::AddWindow(u"#32770", u"");
    EXPECT_EQ(LogDialogProc(dialog, WM_COMMAND, 1001, 0), 0);
    EXPECT_EQ(LogDialogProc(dialog, WM_COMMAND, 3, 0), 0);
    EXPECT_EQ(LogDialogProc(dialog, WM_SYSCOMMAND, SC_CLOSE, 0), 0);
    EXPECT_EQ(sim::CallCount("EndDialog"), 0);
}
