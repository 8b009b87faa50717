// Whole runs in process, on the run_bn image mapped as data, with one thing
// made to happen between the unpack and the launch (the working-set trim sits
// exactly there) or one deletion refused a counted number of times.
#include <gtest/gtest.h>

#include "launcher/run_bootstrap.h"
#include "run/run_fixture.h"
#include "support/import_patch.h"

namespace run_test {
namespace {

std::wstring g_module_path;
std::wstring g_installer_dir;
enum class Removal { kNone, kSetupFile, kWorkDirectory } g_removal = Removal::kNone;
int g_setup_refusals = 0;

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

// Refuses to open setup.exe for deletion, as while another process holds it.
HANDLE WINAPI RefusingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                  DWORD flags, HANDLE template_file) {
  std::wstring name = path;
  bool setup_file = name.size() >= 10 && name.compare(name.size() - 10, 10, L"\\setup.exe") == 0;
  if (setup_file && access == DELETE && g_setup_refusals > 0) {
    --g_setup_refusals;
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  using Function = decltype(CreateFileW);
  static Function* real = reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
  return real(path, access, share, security, disposition, flags, template_file);
}

class InjectedRun : public StubRun {
 protected:
  void SetUp() override {
    StubRun::SetUp();
    g_installer_dir = scratch_.path();
    g_module_path = scratch_ / L"installer.exe";
    g_removal = Removal::kNone;
    g_setup_refusals = 0;
    test::SetVariables({{test::kSetupRecord, record_}, {test::kSetupExitCode, L"0"}});
    user_.Create();
    ASSERT_TRUE(command_line_.active());
    ASSERT_TRUE(module_path_.active());
    ASSERT_TRUE(trim_.active());
    image_ = LoadLibraryExW(layout_.c_str(), nullptr,
                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (image_ != nullptr) FreeLibrary(image_);
    StubRun::TearDown();
  }

  // Taken before the module path is patched: the layouts are found by it.
  std::wstring layout_ = test::LayoutPath(L"run_bn");
  HMODULE image_ = nullptr;
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

TEST_F(InjectedRun, RetriesOfTheFinalDeletionsReachTheSuccessReport) {
  test::ImportPatch create_file("kernel32.dll", "CreateFileW", &RefusingCreateFileW);
  ASSERT_TRUE(create_file.active());
  // setup.exe takes 3 tries, the directory 1: two retries.
  g_setup_refusals = 2;
  RunOutcome outcome = RunBootstrap(image_);
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_EQ(g_setup_refusals, 0);
  EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0x30000u | 2u);
}

}  // namespace
}  // namespace run_test
