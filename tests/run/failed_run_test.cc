// Whole runs of the real stub that fail: the exit code read on the Windows
// side, what the updater's ClientState key holds afterwards, and what is left
// beside the installer.
#include <gtest/gtest.h>

#include "run/run_fixture.h"

namespace run_test {
namespace {

class FailedRun : public StubRun {
 protected:
  void SetUp() override {
    StubRun::SetUp();
    user_.Create();
    machine_.Create();
  }

  // Both roots' keys are there and hold no value at all.
  void ExpectNothingReported() {
    EXPECT_EQ(user_.ValueCount(), 0u);
    EXPECT_EQ(machine_.ValueCount(), 0u);
  }

  void ExpectReported(uint32_t exit_code, uint32_t extra_code) {
    EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
    EXPECT_EQ(user_.Dword(L"InstallerError"), exit_code);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), extra_code);
    EXPECT_EQ(user_.ValueCount(), 3u);
  }
};

// Provokes: exit.112.scan-error, exit.112.no-archive, exit.115.scan-error, exit.115.no-setup,
// Provokes: exit.115.expansion, exit.116, exit.124
TEST_F(FailedRun, FailuresFromTheUnpackOnAreReportedWithTheirDetail) {
  struct Row {
    const wchar_t* layout;  // the payload layouts come from tests/payload and tests/layouts.cmake
    uint32_t exit_code;
    uint32_t extra_code;
    const char* what;
  } rows[] = {
      {L"no_payload", 112, ERROR_FILE_NOT_FOUND, "no archive in any type"},
      {L"payload_readme_beside_archive", 112, ERROR_INVALID_DATA,
       "a name of neither kind in the archive's own type"},
      {L"payload_second_setup", 112, ERROR_TOO_MANY_NAMES,
       "a second setup in the archive's own type"},
      {L"payload_setup_260", 112, ERROR_FILENAME_EXCED_RANGE,
       "a setup name of 260 characters in the archive's own type"},
      {L"archive_only", 115, ERROR_FILE_NOT_FOUND, "an archive and no setup"},
      {L"payload_readme_after_b7_archive", 115, ERROR_INVALID_DATA,
       "a name of neither kind after the archive's type"},
      {L"payload_second_archive", 115, ERROR_TOO_MANY_NAMES, "a second archive in a later type"},
      {L"payload_setup_260_after_b7_archive", 115, ERROR_FILENAME_EXCED_RANGE,
       "a setup name of 260 characters after the archive's type"},
      {L"payload_bl_setup", 115, 0, "a BL setup that is no cabinet"},
      {L"run_setup_in_missing_folder", 116, ERROR_PATH_NOT_FOUND,
       "setup's file is named into a folder that does not exist"},
      {L"run_setup_not_a_program", 124, ERROR_BAD_EXE_FORMAT, "setup is no program"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    user_.Remove();
    user_.Create();
    RunResult run = Run(row.layout, L"\"%P\"");
    EXPECT_EQ(run.process.exit_code, row.exit_code);
    EXPECT_FALSE(run.record.found) << "setup must not have run";
    ExpectReported(row.exit_code, row.extra_code);
    EXPECT_EQ(machine_.ValueCount(), 0u);
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  }
}

// Provokes: exit.118
TEST_F(FailedRun, CleanupRequestTouchesNeitherDiskNorRegistry) {
  for (const wchar_t* command : {L"\"%P\" --cleanup", L"\"%P\" --system-level --CORLITH x"}) {
    SCOPED_TRACE(test::Narrow(command));
    RunResult run = Run(L"run_bn", command, {{test::kSetupExitCode, L"3"}});
    EXPECT_EQ(run.process.exit_code, EXIT_CLEANUP_REQUESTED);
    EXPECT_FALSE(run.record.found);
    ExpectNothingReported();
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  }
}

// Where a 108 arises decides whether it is reported: a module directory too
// deep for any work directory ends the run before the unpack; one that leaves
// room for the work directory but not for setup's file ends it in the unpack.
// Provokes: exit.108.module-dir, exit.108.setup-path, exit.108.cabinet-target
TEST_F(FailedRun, TheDeepestDirectoriesEndWith108ReportedOnlyFromTheUnpack) {
  struct Row {
    const wchar_t* layout;
    size_t directory_length;  // with its final backslash
    bool reported;
    const char* what;
  } rows[] = {
      // 237 characters still run setup (tests/run/command_line_test.cc).
      {L"run_bn", 238, true, "the work directory and \"setup.exe\" are one character too long"},
      {L"run_bn", 246, true, "the deepest work directory leaves no room for \"setup.exe\""},
      // Its cabinet "SETUP" fits the work directory; the expansion's target does not.
      {L"cabinet_short_name", 241, true, "a BL setup's expansion target does not fit"},
      {L"run_bn", 247, false, "no room for a work directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    user_.Remove();
    user_.Create();
    std::wstring directory = test::MakeDirectoryOfLength(scratch_.path(), row.directory_length);
    ASSERT_EQ(directory.size(), row.directory_length);
    RunResult run = Run(row.layout, L"\"%P\"", {}, directory, L"i.exe");
    EXPECT_EQ(run.process.exit_code, EXIT_PATH_TOO_LONG);
    EXPECT_FALSE(run.record.found);
    if (row.reported) {
      ExpectReported(EXIT_PATH_TOO_LONG, 0);
    } else {
      ExpectNothingReported();
    }
    EXPECT_EQ(test::ListDirectory(directory), std::vector<std::wstring>{L"i.exe"});
  }
}

// Provokes: report.access-denied
TEST_F(FailedRun, AKeyThatCannotBeWrittenKeepsTheRunsExitCode) {
  user_.DenySettingValues();
  for (uint32_t code : {0u, 3u}) {
    SCOPED_TRACE(code);
    RunResult run = Run(L"run_bn", L"\"%P\"", {{test::kSetupExitCode, std::to_wstring(code)}});
    EXPECT_EQ(run.process.exit_code, code);
    EXPECT_TRUE(run.record.found);
    EXPECT_EQ(user_.ValueCount(), 0u);
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  }
}

}  // namespace
}  // namespace run_test
