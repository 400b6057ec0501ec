// Test support: a fresh simulated machine per test, and readable views of
// what the installer left behind.
#pragma once

#include "install/context/install_context.h"
#include "platform/sim/machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Every test starts on a fresh machine and ends with the heaps balanced.
class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Plain text of a UTF-16 string (code units above 0x7F become '?').
std::string Ascii(const WCHAR* text);
std::string Ascii(const sim::Text& text);
// The context's log as text and as lines (without their CR LF).
std::string LogText(const InstallContext& context);
std::vector<std::string> LogLines(const InstallContext& context);
std::vector<std::string> SplitLines(const std::string& text);

// The package as a setup program leaves it: the installer and its component
// files (DLLs of the given build) in C:\Program Files\Kestrovane\setup\,
// the tray program in the directory above.
void PlacePackage(int build = 2501);
// A machine that has the package placed, for whole-verb tests.
class PackageTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        PlacePackage();
    }
};

// What no run may leave on the machine, as text (empty when all holds): a
// registered "Kestrovane:" monitor without its DLL, a registered driver of
// ours without one of its files.
std::string BrokenRegistrations();

// Runs the installer's entry with the given command line and returns its exit code.
int RunCommand(const std::string& commandLine);
