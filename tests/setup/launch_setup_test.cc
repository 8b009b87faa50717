// LaunchSetup in process: the command line the real test setup program
// receives, its limits, and every way starting or waiting can fail. Exit codes,
// the inherited directory and environment are shown on whole runs (tests/run).
#include <gtest/gtest.h>

#include <string>

#include "setup/launch_setup.h"
#include "setup/setup_probe.h"
#include "support/import_patch.h"
#include "support/test_support.h"
#include "text/bounded_buffer.h"

namespace {

std::wstring OwnPath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

class LaunchSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_WIN32(CopyFileW(test::TestSetupPath().c_str(), setup_.c_str(), FALSE));
    test::SetVariables({{test::kSetupRecord, record_}, {test::kSetupExitCode, L"0"}});
  }

  RunOutcome Launch(const wchar_t* raw_command_line, const std::wstring& setup_path,
                    const wchar_t* archive_name = L"BRISEL.7Z") {
    LaunchOptions options;
    options.raw_command_line = raw_command_line;
    return LaunchSetup(options, GetModuleHandleW(nullptr), archive_name, L"BN",
                       setup_path.c_str());
  }
  RunOutcome Launch(const wchar_t* raw_command_line) { return Launch(raw_command_line, setup_); }

  // Pieces 1 to 16, for this test executable as the installer.
  std::wstring FixedPart(const std::wstring& own_path) const {
    return L"\"" + setup_ + L"\" --bootpack-path=\"" + own_path +
           L"\" --archive-resource-name=\"BRISEL.7Z\" --archive-resource-type=\"BN\"";
  }

  test::SetupRecord Record() const { return test::ReadSetupRecord(record_); }

  test::ScratchDirectory scratch_{L"launch"};
  std::wstring setup_ = scratch_ / L"setup.exe";
  std::wstring record_ = scratch_ / L"record.txt";
};

TEST_F(LaunchSetupTest, SetupReceivesTheFixedPartAndTheUserArgumentsVerbatim) {
  struct Row {
    const wchar_t* raw;
    const wchar_t* forwarded;
    const char* what;
  } rows[] = {
      // The stub's own runs (tests/run) show the rest of the forms.
      {L"\"C:\\app\\installer.exe\"--system-level", L" --system-level", "one space inserted"},
      {L"\"C:\\app\\installer.exe\"\t--x", L"\t--x", "a TAB stays the separator"},
      {L"installer.exe\t--x y", L"\t--x y", "TAB after an unquoted name"},
      {L"\"C:\\app\\installer.exe --system-level", L"", "quotation mark never closed"},
      {L"C:\\a\"b c.exe\" --x", L" c.exe\" --x", "unquoted name ends at its first space"},
      {L"installer.exe", L"", "unquoted path alone"},
      {L"", L"", "empty command line"},
  };
  for (const Row& row : rows) {
    DeleteFileW(record_.c_str());
    RunOutcome outcome = Launch(row.raw);
    EXPECT_EQ(outcome.exit_code, 0u) << row.what;
    EXPECT_EQ(outcome.extra_code, 0u) << row.what;
    test::SetupRecord record = Record();
    ASSERT_TRUE(record.found) << row.what;
    EXPECT_EQ(record.command_line, FixedPart(OwnPath()) + row.forwarded) << row.what;
  }
}

// Provokes: setup.completed
TEST_F(LaunchSetupTest, SetupThatRanToItsEndGivesItsExitCodeWhateverTheValue) {
  for (uint32_t code : {0u, 1u, 259u, EXIT_SETUP_NOT_FOUND, 0x80000000u, 0xFFFFFFFFu}) {
    test::SetVariables({{test::kSetupExitCode, std::to_wstring(code)}});
    RunOutcome outcome = Launch(L"x.exe");
    EXPECT_EQ(outcome.exit_code, code);
    EXPECT_EQ(outcome.extra_code, 0u) << code;
  }
}

// Provokes: setup.arguments-too-long
TEST_F(LaunchSetupTest, UserArgumentsThatDoNotFitStopTheLaunch) {
  const size_t room = CommandBuffer::Capacity() - 1 - FixedPart(OwnPath()).size();
  ASSERT_GE(room, 445u);
  struct Row {
    std::wstring raw;
    bool fits;
    const char* what;
  } rows[] = {
      {L"x.exe " + std::wstring(room - 1, L'a'), true, "blank and arguments fill the buffer"},
      {L"x.exe " + std::wstring(room, L'a'), false, "one character too many"},
      {L"\"x.exe\"" + std::wstring(room - 1, L'a'), true, "inserted space included, fits"},
      {L"\"x.exe\"" + std::wstring(room, L'a'), false, "inserted space tips it over"},
      {L"\"x.exe\"\t" + std::wstring(2000, L'a'), false, "far too long"},
  };
  for (const Row& row : rows) {
    DeleteFileW(record_.c_str());
    RunOutcome outcome = Launch(row.raw.c_str());
    test::SetupRecord record = Record();
    if (row.fits) {
      EXPECT_EQ(outcome.exit_code, 0u) << row.what;
      ASSERT_TRUE(record.found) << row.what;
      EXPECT_EQ(record.command_line.size(), CommandBuffer::Capacity() - 1) << row.what;
    } else {
      EXPECT_EQ(outcome.exit_code, EXIT_SETUP_COMMAND_FAILED) << row.what;
      EXPECT_EQ(outcome.extra_code, 0u) << row.what;
      EXPECT_FALSE(record.found) << row.what << ": setup must not start";
    }
  }
}

// Provokes: setup.path-too-long, setup.command-too-long
TEST_F(LaunchSetupTest, OversizedInputsEndWith105BeforeAnythingStarts) {
  std::wstring long_setup = scratch_ / std::wstring(260, L's');
  std::wstring long_name(1300, L'N');
  RunOutcome by_setup_path = Launch(L"x.exe", long_setup);
  RunOutcome by_archive_name = Launch(L"x.exe", setup_, long_name.c_str());
  for (RunOutcome outcome : {by_setup_path, by_archive_name}) {
    EXPECT_EQ(outcome.exit_code, EXIT_SETUP_COMMAND_FAILED);
    EXPECT_EQ(outcome.extra_code, 0u);
  }
  EXPECT_FALSE(Record().found);
}

// The module path LaunchSetup reads, chosen by the test.
std::wstring g_module_path;
DWORD g_module_result = 0;

DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_module_path.c_str(), size);
  if (g_module_result == 0) SetLastError(ERROR_MOD_NOT_FOUND);
  if (g_module_result >= size) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return g_module_result;
}

// Provokes: setup.module-path
TEST_F(LaunchSetupTest, OwnPathOf259CharactersIsUsedAnd260IsRefused) {
  std::wstring path259 = L"C:\\" + std::wstring(252, L'p') + L".exe";
  ASSERT_EQ(path259.size(), 259u);
  std::wstring fixed = FixedPart(path259);
  test::ImportPatch patch("kernel32.dll", "GetModuleFileNameW", &FakeGetModuleFileNameW);
  ASSERT_TRUE(patch.active());

  g_module_path = path259;
  g_module_result = 259;
  RunOutcome accepted = Launch(L"x.exe --system-level");
  EXPECT_EQ(accepted.exit_code, 0u);
  test::SetupRecord record = Record();
  ASSERT_TRUE(record.found);
  EXPECT_EQ(record.command_line, fixed + L" --system-level");

  DeleteFileW(record_.c_str());
  struct Row {
    DWORD result;
    const char* what;
  } rows[] = {{260, "260 characters or more: cut short"}, {0, "GetModuleFileNameW failed"}};
  for (const Row& row : rows) {
    g_module_path = path259 + L"x";
    g_module_result = row.result;
    RunOutcome refused = Launch(L"x.exe");
    EXPECT_EQ(refused.exit_code, EXIT_SETUP_COMMAND_FAILED) << row.what;
    EXPECT_EQ(refused.extra_code, 0u) << row.what;
    EXPECT_FALSE(Record().found) << row.what;
  }
}

// Provokes: setup.not-found, setup.path-not-found
TEST_F(LaunchSetupTest, MissingFileOrDirectoryEndWith122Or123AndTheAttributes) {
  struct Row {
    std::wstring setup_path;
    uint32_t exit_code;
    const char* what;
  } rows[] = {
      {scratch_ / L"gone.exe", EXIT_SETUP_NOT_FOUND, "setup file removed"},
      {scratch_ / L"gone\\setup.exe", EXIT_SETUP_PATH_NOT_FOUND, "work directory removed"},
  };
  for (const Row& row : rows) {
    RunOutcome outcome = Launch(L"x.exe", row.setup_path);
    EXPECT_EQ(outcome.exit_code, row.exit_code) << row.what;
    EXPECT_EQ(outcome.extra_code, INVALID_FILE_ATTRIBUTES) << row.what;
  }
}

// Provokes: setup.not-started
TEST_F(LaunchSetupTest, FileThatIsNoProgramEndsWith124AndTheError) {
  std::wstring text = scratch_ / L"text.exe";
  ASSERT_TRUE(test::WriteFileBytes(text, "this is not a program\r\n"));
  RunOutcome outcome = Launch(L"x.exe", text);
  EXPECT_EQ(outcome.exit_code, EXIT_SETUP_NOT_STARTED);
  EXPECT_EQ(outcome.extra_code, static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT));
}

// The platform's own function, for replacements that pass a call through: a
// call by name from here would go through the patched slot again.
template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// CreateProcessW as the platform does it, recording what it was given, or
// failing with a chosen error.
DWORD g_create_error = 0;
DWORD g_create_flags = 0;
BOOL g_inherit = TRUE;
bool g_environment_given = true;
bool g_directory_given = true;
HANDLE g_process = nullptr;
HANDLE g_thread = nullptr;
int g_process_closes = 0;
int g_thread_closes = 0;

BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR command,
                                    LPSECURITY_ATTRIBUTES process_attributes,
                                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit,
                                    DWORD flags, LPVOID environment, LPCWSTR directory,
                                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
  g_create_flags = flags;
  g_inherit = inherit;
  g_environment_given = environment != nullptr;
  g_directory_given = directory != nullptr;
  if (g_create_error != 0) {
    SetLastError(g_create_error);
    return FALSE;
  }
  BOOL ok = Real<decltype(CreateProcessW)>("CreateProcessW")(
      application, command, process_attributes, thread_attributes, inherit, flags, environment,
      directory, startup, information);
  g_process = information->hProcess;
  g_thread = information->hThread;
  return ok;
}

BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  if (handle == g_process) ++g_process_closes;
  if (handle == g_thread) ++g_thread_closes;
  return Real<decltype(CloseHandle)>("CloseHandle")(handle);
}

DWORD WINAPI FailingWait(HANDLE handle, DWORD milliseconds) {
  // Setup still ends before the test goes on.
  Real<decltype(WaitForSingleObject)>("WaitForSingleObject")(handle, milliseconds);
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL WINAPI FailingGetExitCodeProcess(HANDLE handle, LPDWORD code) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

class WatchedLaunch : public LaunchSetupTest {
 protected:
  void SetUp() override {
    LaunchSetupTest::SetUp();
    g_create_error = 0;
    g_process = g_thread = nullptr;
    g_process_closes = g_thread_closes = 0;
    ASSERT_TRUE(create_.active());
    ASSERT_TRUE(close_.active());
  }
  test::ImportPatch create_{"kernel32.dll", "CreateProcessW", &RecordingCreateProcessW};
  test::ImportPatch close_{"kernel32.dll", "CloseHandle", &CountingCloseHandle};
};

TEST_F(WatchedLaunch, StartsWithoutWindowOrInheritanceAndClosesBothHandles) {
  RunOutcome outcome = Launch(L"x.exe");
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_EQ(g_create_flags, static_cast<DWORD>(CREATE_NO_WINDOW));
  EXPECT_FALSE(g_inherit);
  EXPECT_FALSE(g_environment_given);
  EXPECT_FALSE(g_directory_given);
  EXPECT_EQ(g_process_closes, 1);
  EXPECT_EQ(g_thread_closes, 1);
}

// Provokes: setup.wait-fails, setup.exit-code-fails
TEST_F(WatchedLaunch, FailedWaitOrExitCodeEndWith107AndStillCloseTheHandles) {
  struct Row {
    const char* function;
    void* replacement;
    uint32_t error;
  } rows[] = {
      {"WaitForSingleObject", reinterpret_cast<void*>(&FailingWait), ERROR_INVALID_HANDLE},
      {"GetExitCodeProcess", reinterpret_cast<void*>(&FailingGetExitCodeProcess),
       ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    g_process_closes = g_thread_closes = 0;
    test::ImportPatch failing("kernel32.dll", row.function, row.replacement);
    ASSERT_TRUE(failing.active()) << row.function;
    RunOutcome outcome = Launch(L"x.exe");
    EXPECT_EQ(outcome.exit_code, EXIT_SETUP_WAIT_FAILED) << row.function;
    EXPECT_EQ(outcome.extra_code, row.error) << row.function;
    EXPECT_EQ(g_process_closes, 1) << row.function;
    EXPECT_EQ(g_thread_closes, 1) << row.function;
  }
}

// Provokes: setup.not-found, setup.path-not-found, setup.not-started
TEST_F(WatchedLaunch, StartErrorsChooseTheCodeAndTheDetail) {
  DWORD attributes = GetFileAttributesW(setup_.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  struct Row {
    DWORD error;
    uint32_t exit_code;
    uint32_t extra_code;
    const char* what;
  } rows[] = {
      {ERROR_FILE_NOT_FOUND, EXIT_SETUP_NOT_FOUND, attributes, "file there after all"},
      {ERROR_PATH_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND, attributes, "path there after all"},
      {ERROR_ACCESS_DENIED, EXIT_SETUP_NOT_STARTED, ERROR_ACCESS_DENIED, "other error"},
      {ERROR_NOT_ENOUGH_MEMORY, EXIT_SETUP_NOT_STARTED, ERROR_NOT_ENOUGH_MEMORY, "other error"},
  };
  for (const Row& row : rows) {
    g_create_error = row.error;
    RunOutcome outcome = Launch(L"x.exe");
    EXPECT_EQ(outcome.exit_code, row.exit_code) << row.what;
    EXPECT_EQ(outcome.extra_code, row.extra_code) << row.what;
  }
  EXPECT_FALSE(Record().found);
}

}  // namespace
