// Whole runs in process, on the run_bn image mapped as data, with one thing
// made to happen between the unpack and the launch (the working-set trim sits
// exactly there), one deletion refused a counted number of times, or one
// system call failing where no real condition under Wine makes it fail.
#include <gtest/gtest.h>

#include "launcher/run_bootstrap.h"
#include "run/run_fixture.h"
#include "support/import_patch.h"

namespace run_test {
namespace {

std::wstring g_module_path;
std::wstring g_installer_dir;
enum class Removal { kNone, kSetupFile, kWorkDirectory } g_removal = Removal::kNone;
// The file, named with its backslash, whose opening for deletion is refused,
// and how many more times.
std::wstring g_refused_file;
int g_refusals = 0;

LPWSTR WINAPI PlainCommandLine() { return const_cast<LPWSTR>(L"installer.exe --x"); }

// The image is only mapped as data: its path is the one given here.
DWORD WINAPI ModulePath(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_module_path.c_str(), size);
  return static_cast<DWORD>(g_module_path.size());
}

std::wstring WorkDirectory() {
  for (const std::wstring& name : test::ListDirectory(g_installer_dir)) {
    if (IsWorkDirectoryName(name)) return g_installer_dir + name + L"\\";
  }
  return {};
}

BOOL WINAPI RemovingTrim(HANDLE, SIZE_T, SIZE_T) {
  std::wstring work_dir = WorkDirectory();
  if (g_removal == Removal::kSetupFile) DeleteFileW((work_dir + L"setup.exe").c_str());
  if (g_removal == Removal::kWorkDirectory) test::RemoveTree(work_dir);
  return TRUE;
}

// Refuses to open the refused file for deletion, as while another process
// holds it.
HANDLE WINAPI RefusingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                  DWORD flags, HANDLE template_file) {
  std::wstring name = path;
  size_t length = g_refused_file.size();
  bool refused_file =
      name.size() >= length && name.compare(name.size() - length, length, g_refused_file) == 0;
  if (refused_file && access == DELETE && g_refusals > 0) {
    --g_refusals;
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  using Function = decltype(CreateFileW);
  static Function* real = reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
  return real(path, access, share, security, disposition, flags, template_file);
}

HMODULE MapAsData(const std::wstring& path) {
  return LoadLibraryExW(path.c_str(), nullptr,
                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

class InjectedRun : public StubRun {
 protected:
  void SetUp() override {
    StubRun::SetUp();
    g_installer_dir = scratch_.path();
    g_module_path = scratch_ / L"installer.exe";
    g_removal = Removal::kNone;
    g_refusals = 0;
    test::SetVariables({{test::kSetupRecord, record_}, {test::kSetupExitCode, L"0"}});
    user_.Create();
    ASSERT_TRUE(command_line_.active());
    ASSERT_TRUE(module_path_.active());
    ASSERT_TRUE(trim_.active());
    image_ = MapAsData(layout_);
    ASSERT_NE(image_, nullptr) << GetLastError();
    cabinet_image_ = MapAsData(cabinet_layout_);
    ASSERT_NE(cabinet_image_, nullptr) << GetLastError();
  }
  void TearDown() override {
    for (HMODULE image : {image_, cabinet_image_}) {
      if (image != nullptr) FreeLibrary(image);
    }
    StubRun::TearDown();
  }

  // Taken before the module path is patched: the layouts are found by it.
  std::wstring layout_ = test::LayoutPath(L"run_bn");
  // Its setup is a cabinet (type "BL") of a program that ends with 0 only as
  // setup.exe with nothing beside it.
  std::wstring cabinet_layout_ = test::LayoutPath(L"cabinet_setup");
  HMODULE image_ = nullptr;
  HMODULE cabinet_image_ = nullptr;
  test::ImportPatch command_line_{"kernel32.dll", "GetCommandLineW", &PlainCommandLine};
  test::ImportPatch module_path_{"kernel32.dll", "GetModuleFileNameW", &ModulePath};
  test::ImportPatch trim_{"kernel32.dll", "SetProcessWorkingSetSize", &RemovingTrim};
};

TEST_F(InjectedRun, SetupRunsInProcessAsInTheStub) {
  RunOutcome outcome = RunBootstrap(image_);
  EXPECT_EQ(outcome.exit_code, 0u);
  test::SetupRecord record = test::ReadSetupRecord(record_);
  ASSERT_TRUE(record.found);
  EXPECT_NE(record.command_line.find(L"--bootpack-path=\"" + g_module_path + L"\""),
            std::wstring::npos);
  EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
}

// Provokes: exit.122, exit.123
TEST_F(InjectedRun, SetupOrItsDirectoryGoneBeforeTheStartIsReported) {
  struct Row {
    Removal removal;
    uint32_t exit_code;
    const char* what;
  } rows[] = {
      {Removal::kSetupFile, EXIT_SETUP_NOT_FOUND, "setup file removed"},
      {Removal::kWorkDirectory, EXIT_SETUP_PATH_NOT_FOUND, "work directory removed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    user_.Remove();
    user_.Create();
    g_removal = row.removal;
    RunOutcome outcome = RunBootstrap(image_);
    EXPECT_EQ(outcome.exit_code, row.exit_code);
    EXPECT_EQ(outcome.extra_code, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(test::ReadSetupRecord(record_).found);
    EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
    EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
    EXPECT_EQ(user_.Dword(L"InstallerError"), row.exit_code);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), INVALID_FILE_ATTRIBUTES);
  }
}

// The success report carries the most attempts any deletion took: one of the
// final deletions, or the unpack's of a "BL" setup's cabinet, which goes
// whatever the cleanup setting says.
// Provokes: report.retries
TEST_F(InjectedRun, RetriesOfTheDeletionsReachTheSuccessReport) {
  test::ImportPatch create_file("kernel32.dll", "CreateFileW", &RefusingCreateFileW);
  ASSERT_TRUE(create_file.active());
  struct Row {
    bool cabinet;
    const wchar_t* refused_file;
    int refusals;
    const wchar_t* cleanup;  // nullptr: no setting
    bool files_kept;
    DWORD extra;
    const char* what;
  } rows[] = {
      {false, L"\\setup.exe", 2, nullptr, false, 0x30000 | 2,
       "setup.exe takes 3 tries, the directory 1"},
      {true, L"\\SETUP.EX_", 2, L"1", false, 0x30000 | 2,
       "the cabinet takes 3 tries, setup.exe and the directory 1"},
      {true, L"\\SETUP.EX_", 3, L"0", true, 0x30000 | 3,
       "the cabinet takes 4 tries, and nothing else is deleted"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    user_.Remove();
    user_.Create();
    ASSERT_NO_FATAL_FAILURE(SetCleanup(row.cleanup));
    g_refused_file = row.refused_file;
    g_refusals = row.refusals;
    RunOutcome outcome = RunBootstrap(row.cabinet ? cabinet_image_ : image_);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(g_refusals, 0);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.extra);
    if (row.files_kept) {
      // Setup ended with 0: it ran beside no cabinet, and it stays.
      std::wstring work_dir = WorkDirectory();
      EXPECT_EQ(test::ListDirectory(work_dir), std::vector<std::wstring>{L"setup.exe"});
      test::RemoveTree(work_dir);
    }
    EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
  }
}

// The platform's own function, for replacements that pass a call through.
template <typename Function>
Function* Real(const wchar_t* dll, const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(dll), name)));
}

LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

BOOL WINAPI DeniedOpenProcessToken(HANDLE, DWORD, PHANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI RefusedCreateDirectoryW(LPCWSTR, LPSECURITY_ATTRIBUTES) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// The prefix's drive keeps access lists, so every run builds one and opens
// the process token for it.
// Provokes: exit.101, exit.117, exit.109
TEST_F(InjectedRun, StopsBeforeTheUnpackLeaveNothingAndReportNothing) {
  struct Row {
    const char* dll;
    const char* function;
    void* replacement;
    uint32_t exit_code;
    uint32_t extra_code;
    const char* what;
  } rows[] = {
      {"shell32.dll", "CommandLineToArgvW", reinterpret_cast<void*>(&FailingCommandLineToArgvW),
       EXIT_BAD_COMMAND_LINE, ERROR_NOT_ENOUGH_MEMORY, "the command line cannot be split"},
      {"advapi32.dll", "OpenProcessToken", reinterpret_cast<void*>(&DeniedOpenProcessToken),
       EXIT_WORK_DIR_ACL_FAILED, ERROR_ACCESS_DENIED, "the access list cannot be built"},
      {"kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(&RefusedCreateDirectoryW),
       EXIT_WORK_DIR_NOT_CREATED, 0, "no work directory can be made"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunOutcome outcome;
    {
      test::ImportPatch failing(row.dll, row.function, row.replacement);
      ASSERT_TRUE(failing.active());
      outcome = RunBootstrap(image_);
    }
    EXPECT_EQ(outcome.exit_code, row.exit_code);
    EXPECT_EQ(outcome.extra_code, row.extra_code);
    EXPECT_FALSE(test::ReadSetupRecord(record_).found);
    EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
    EXPECT_EQ(user_.ValueCount(), 0u);
  }
}

// Setup has really ended when these fail: only their results say otherwise.
DWORD WINAPI FailingWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Real<decltype(WaitForSingleObject)>(L"kernel32.dll", "WaitForSingleObject")(handle,
                                                                             milliseconds);
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL WINAPI FailingGetExitCodeProcess(HANDLE, LPDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// Provokes: exit.107
TEST_F(InjectedRun, FailedWaitForSetupIsReportedWith107AndTheError) {
  struct Row {
    const char* function;
    void* replacement;
    uint32_t error;
  } rows[] = {
      {"WaitForSingleObject", reinterpret_cast<void*>(&FailingWaitForSingleObject),
       ERROR_INVALID_HANDLE},
      {"GetExitCodeProcess", reinterpret_cast<void*>(&FailingGetExitCodeProcess),
       ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.function);
    user_.Remove();
    user_.Create();
    DeleteFileW(record_.c_str());
    RunOutcome outcome;
    {
      test::ImportPatch failing("kernel32.dll", row.function, row.replacement);
      ASSERT_TRUE(failing.active());
      outcome = RunBootstrap(image_);
    }
    EXPECT_EQ(outcome.exit_code, EXIT_SETUP_WAIT_FAILED);
    EXPECT_EQ(outcome.extra_code, row.error);
    EXPECT_TRUE(test::ReadSetupRecord(record_).found) << "setup was started";
    EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
    EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
    EXPECT_EQ(user_.Dword(L"InstallerError"), EXIT_SETUP_WAIT_FAILED);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.error);
  }
}

BOOL WINAPI DiskFullWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

// A setup file that cannot be created at all is a real condition on the
// stub's own runs (tests/run/failed_run_test.cc).
// Provokes: exit.116
TEST_F(InjectedRun, SetupFileThatCannotBeWrittenIsReportedWith116AndTheError) {
  RunOutcome outcome;
  {
    test::ImportPatch write_file("kernel32.dll", "WriteFile", &DiskFullWriteFile);
    ASSERT_TRUE(write_file.active());
    outcome = RunBootstrap(image_);
  }
  EXPECT_EQ(outcome.exit_code, EXIT_SETUP_WRITE_FAILED);
  EXPECT_EQ(outcome.extra_code, static_cast<uint32_t>(ERROR_DISK_FULL));
  EXPECT_FALSE(test::ReadSetupRecord(record_).found);
  EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty()) << "the partly written file is gone";
  EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
  EXPECT_EQ(user_.Dword(L"InstallerError"), EXIT_SETUP_WRITE_FAILED);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), static_cast<uint32_t>(ERROR_DISK_FULL));
}

LSTATUS WINAPI RefusingRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD size) {
  if (lstrcmpW(name, L"InstallerResult") == 0) return ERROR_ACCESS_DENIED;
  return Real<decltype(RegSetValueExW)>(L"advapi32.dll", "RegSetValueExW")(key, name, reserved,
                                                                           type, data, size);
}

// Provokes: report.write-fails
TEST_F(InjectedRun, AReportValueThatCannotBeWrittenKeepsTheOthersAndTheOutcome) {
  test::SetVariables({{test::kSetupExitCode, L"5"}});
  RunOutcome outcome;
  {
    test::ImportPatch set_value("advapi32.dll", "RegSetValueExW", &RefusingRegSetValueExW);
    ASSERT_TRUE(set_value.active());
    outcome = RunBootstrap(image_);
  }
  EXPECT_EQ(outcome.exit_code, 5u);
  EXPECT_EQ(outcome.extra_code, 0u);
  EXPECT_EQ(user_.Dword(L"InstallerResult"), std::nullopt);
  EXPECT_EQ(user_.Dword(L"InstallerError"), 5u);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0u);
}

}  // namespace
}  // namespace run_test
