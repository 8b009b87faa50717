// The launch sequence's early stops, on the real stub and in process with one
// system call made to fail.
#include <gtest/gtest.h>

#include "launcher/run_bootstrap.h"
#include "options/launch_options.h"
#include "support/client_state.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

TEST(StubRun, CleanupSwitchesEndWith118AndCreateNothing) {
  for (const wchar_t* argument : {L"--cleanup", L"--CORLITH", L"a --cleanup b"}) {
    test::ScratchDirectory scratch(L"cleanup");
    test::ProcessResult result = test::RunCopiedImage(test::StubPath(), scratch.path(), argument);
    ASSERT_TRUE(result.started) << "error " << result.start_error;
    EXPECT_EQ(result.exit_code, 118u) << argument;
    EXPECT_EQ(test::ListDirectory(scratch.path()), std::vector<std::wstring>{L"installer.exe"})
        << argument;
  }
}

// In process: the command line the sequence sees, and the calls it makes.
const wchar_t* g_command_line = L"";
int g_module_name_calls = 0;
DWORD g_module_name_result = 0;
const wchar_t* g_module_name = L"";

LPWSTR WINAPI FakeGetCommandLineW() { return const_cast<LPWSTR>(g_command_line); }

LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  ++g_module_name_calls;
  lstrcpynW(buffer, g_module_name, size);
  if (g_module_name_result == 0) SetLastError(ERROR_MOD_NOT_FOUND);
  if (g_module_name_result >= size) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return g_module_name_result;
}

class InProcessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    g_module_name_calls = 0;
    ASSERT_TRUE(command_line_.active());
    ASSERT_TRUE(module_name_.active());
  }
  test::ImportPatch command_line_{"kernel32.dll", "GetCommandLineW", &FakeGetCommandLineW};
  test::ImportPatch module_name_{"kernel32.dll", "GetModuleFileNameW", &FakeGetModuleFileNameW};
};

TEST_F(InProcessRun, UnsplittableCommandLineEndsWith101AndItsError) {
  test::ImportPatch split("shell32.dll", "CommandLineToArgvW", &FailingCommandLineToArgvW);
  ASSERT_TRUE(split.active());
  g_command_line = L"x.exe --system-level";
  RunOutcome outcome = RunBootstrap(GetModuleHandleW(nullptr));
  EXPECT_EQ(outcome.exit_code, EXIT_BAD_COMMAND_LINE);
  EXPECT_EQ(outcome.extra_code, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(g_module_name_calls, 0);
}

TEST_F(InProcessRun, CleanupNeverReadsTheModulePath) {
  g_command_line = L"x.exe --cleanup";
  RunOutcome outcome = RunBootstrap(GetModuleHandleW(nullptr));
  EXPECT_EQ(outcome.exit_code, EXIT_CLEANUP_REQUESTED);
  EXPECT_EQ(outcome.extra_code, 0u);
  EXPECT_EQ(g_module_name_calls, 0);
}

// Provokes: exit.108.module-path
TEST_F(InProcessRun, UnusableModulePathEndsWith108) {
  struct Row {
    const wchar_t* name;
    DWORD result;
    uint32_t extra;
    const char* what;
  } rows[] = {
      {L"", 0, ERROR_MOD_NOT_FOUND, "GetModuleFileNameW failed"},
      {L"C:\\long", 260, ERROR_INSUFFICIENT_BUFFER, "the path was cut short"},
      {L"installer.exe", 13, 0, "no backslash"},
  };
  test::RegistryLock lock;
  test::ClientStateKey user{HKEY_CURRENT_USER, kDefaultAppGuid};
  user.Remove();
  user.Create();
  g_command_line = L"x.exe";
  for (const Row& row : rows) {
    g_module_name = row.name;
    g_module_name_result = row.result;
    RunOutcome outcome = RunBootstrap(GetModuleHandleW(nullptr));
    EXPECT_EQ(outcome.exit_code, EXIT_PATH_TOO_LONG) << row.what;
    EXPECT_EQ(outcome.extra_code, row.extra) << row.what;
    EXPECT_EQ(user.ValueCount(), 0u) << row.what << ": nothing is reported";
  }
  user.Remove();
}

}  // namespace
