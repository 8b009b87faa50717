// The command line setup receives from the real stub, character for
// character, and what else it inherits; the work directory is gone afterwards.
#include <gtest/gtest.h>

#include "run/run_fixture.h"
#include "text/bounded_buffer.h"

namespace run_test {
namespace {

using CommandLineRun = StubRun;

TEST_F(CommandLineRun, SetupReceivesTheFixedPartAndTheUserArgumentsVerbatim) {
  struct Row {
    const wchar_t* command;  // %P is the installer's path
    const wchar_t* forwarded;
    const char* what;
  } rows[] = {
      {L"\"%P\"", L"", "quoted program path alone"},
      {L"%P --system-level", L" --system-level", "unquoted path, one space"},
      {L"\"%P\"  --x", L"  --x", "two spaces"},
      {L"\"%P\"--system-level", L" --system-level", "argument right after the quote"},
      {L"\"%P\"\t--x", L"\t--x", "TAB separator"},
      {L"\"%P --system-level --x", L"", "quotation mark never closed"},
      {L"C:\\odd\"name here.exe\" --x", L" here.exe\" --x", "quotation mark in an unquoted name"},
      {L"%P --brisel-dev --system-level --BRISEL-BETA",
       L" --brisel-dev --system-level --BRISEL-BETA", "the options' own switches"},
      {L"\"%P\" \"two words\" a\\\\\"b \u00e9\u4e2d", L" \"two words\" a\\\\\"b \u00e9\u4e2d",
       "quotes, backslashes, non-ASCII"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunResult run = Run(L"run_bn", row.command);
    EXPECT_EQ(run.process.exit_code, 0u);
    ASSERT_TRUE(run.record.found);
    EXPECT_EQ(run.record.command_line, FixedPart(run) + row.forwarded);
    // The work directory sat beside the installer and is gone with setup.exe.
    std::wstring work_name = run.work_dir.substr(scratch_.path().size());
    work_name.pop_back();
    EXPECT_EQ(run.work_dir.compare(0, scratch_.path().size(), scratch_.path()), 0);
    EXPECT_TRUE(IsWorkDirectoryName(work_name)) << test::Narrow(work_name);
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  }
}

// Provokes: exit.105, setup.arguments-too-long
TEST_F(CommandLineRun, UserArgumentsThatDoNotFitAreNeverDropped) {
  // Learn the length of the fixed part from one run, then overflow it by one.
  RunResult probe = Run(L"run_bn", L"\"%P\"");
  ASSERT_TRUE(probe.record.found);
  size_t room = CommandBuffer::Capacity() - 1 - probe.record.command_line.size();
  user_.Create();

  RunResult fits = Run(L"run_bn", L"\"%P\" " + std::wstring(room - 1, L'a'));
  EXPECT_EQ(fits.process.exit_code, 0u);
  ASSERT_TRUE(fits.record.found);
  EXPECT_EQ(fits.record.command_line.size(), CommandBuffer::Capacity() - 1);

  RunResult too_long = Run(L"run_bn", L"\"%P\" " + std::wstring(room, L'a'));
  EXPECT_EQ(too_long.process.exit_code, EXIT_SETUP_COMMAND_FAILED);
  EXPECT_FALSE(too_long.record.found) << "setup must not start";
  EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
  EXPECT_EQ(user_.Dword(L"InstallerError"), EXIT_SETUP_COMMAND_FAILED);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0u);
}

TEST_F(CommandLineRun, SetupInheritsCurrentDirectoryAndEnvironment) {
  RunResult run = Run(L"run_bn", L"\"%P\"", {{L"BOOTPACK_TEST_MARK", L"inherited"}});
  ASSERT_TRUE(run.record.found) << "the record's path came through the environment";
  std::wstring expected = current_dir_.path();
  expected.pop_back();
  EXPECT_EQ(lstrcmpiW(run.record.current_directory.c_str(), expected.c_str()), 0)
      << test::Narrow(run.record.current_directory);
}

TEST_F(CommandLineRun, B7SetupRunsUnderItsOwnNameWithTheB7ArchiveType) {
  RunResult run = Run(L"run_b7", L"\"%P\" --x");
  EXPECT_EQ(run.process.exit_code, 0u);
  ASSERT_TRUE(run.record.found);
  EXPECT_EQ(run.record.command_line, FixedPart(run, L"SETUP-B7.EXE", L"B7") + L" --x");
  EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
}

TEST_F(CommandLineRun, ProgramPathOf259CharactersRunsEndToEnd) {
  // The deepest directory that still leaves room for the work directory and
  // "setup.exe": 237 characters with its backslash.
  std::wstring directory = test::MakeDirectoryOfLength(scratch_.path(), 237);
  ASSERT_EQ(directory.size(), 237u);
  std::wstring name = std::wstring(259 - 237 - 4, L'n') + L".exe";

  RunResult run = Run(L"run_bn", L"\"%P\" --x", {}, directory, name);
  ASSERT_EQ(run.installer.size(), 259u);
  EXPECT_EQ(run.process.exit_code, 0u);
  ASSERT_TRUE(run.record.found);
  EXPECT_EQ(run.record.module_path.size(), 259u);
  EXPECT_EQ(run.record.command_line, FixedPart(run) + L" --x");
  EXPECT_EQ(test::ListDirectory(directory), std::vector<std::wstring>{name});
}

}  // namespace
}  // namespace run_test
