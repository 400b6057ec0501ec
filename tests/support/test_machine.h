// Test support: a fresh simulated machine per test, and readable views of
// what the installer left behind.
#pragma once

#include "install/context_setup.h"
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

// What kestray.exe does once started: it holds the tray mutex in its session
// and owns the tray window; the quit message or its own event ends it,
// `quitDelayMs` later.
sim::ProgramScript TrayBehaviour(DWORD quitDelayMs = 0);
// The package as a setup program leaves it: the installer and its component
// files (DLLs of the given build) in C:\Program Files\Kestrovane\setup\,
// the tray program in the directory above, behaving as kestray.exe does.
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

// What a run did to the machine that it must never do, as text (empty when
// nothing): a file, version or spooler call given a relative path, one with
// "." or ".." parts, or a directory for a file; a deletion, a deletion queued
// for the restart, or a write of anything but our own files; a Run value
// naming a relative path; and after exit 1 or 2, a staged or removed file of
// ours still there and not queued for deletion.
// `queued`: the texts other programs had queued for the restart before the
// run; the installer may look at what they name, never change it.
std::string MachineHarm(int exitCode, const std::vector<sim::Text>& queued = {});
// Everything a run could change (files by a hash of their content, the
// spooler's registrations, the registry's value names, processes), leaving
// out the file `except`: equal digests, an unchanged machine.
std::string MachineDigest(const sim::Text& except);
// The texts of PendingFileRenameOperations as they are now.
std::vector<sim::Text> QueuedTexts();

// Runs the installer's entry with the given command line and returns its exit code.
int RunCommand(const std::string& commandLine);
