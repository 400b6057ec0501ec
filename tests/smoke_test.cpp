#include "tests/support/test_machine.h"

using SmokeTest = MachineTest;

TEST_F(SmokeTest, NoVerbExitsSix) { EXPECT_EQ(RunCommand("ksvinstall.exe"), 6); }

TEST_F(SmokeTest, InstallOnCleanMachine) {
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}
