// The work area in whole runs of a packed image: no_payload.exe creates its
// work directory, fails the unpack with 112 before naming a setup file, and
// then removes the directory unless the cleanup setting says "0".
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "launcher/run_bootstrap.h"
#include "options/launch_options.h"
#include "support/import_patch.h"
#include "support/registry_tree.h"
#include "support/test_support.h"
#include "workarea/work_directory_calls.h"

namespace {

using test::IsWorkDirectoryName;

const wchar_t kOrvaneKey[] = L"Software\\Orvane";
const wchar_t kCleanupValue[] = L"BriselInstallerCleanup";

std::wstring ClientStateKey() {
  return std::wstring(L"Software\\Orvane\\Update\\ClientState\\") + kDefaultAppGuid;
}

// Holds the registry for the whole test: the cleanup setting is shared by
// every test in the prefix, and the failed runs report to ClientState.
class WorkAreaRun : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue);
    test::DeleteRegistryTree(HKEY_CURRENT_USER, ClientStateKey());
  }
  void TearDown() override {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue);
    test::DeleteRegistryTree(HKEY_CURRENT_USER, ClientStateKey());
  }

  void KeepFiles() {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue, REG_SZ, L"0", 4),
              ERROR_SUCCESS);
  }

  // The work directories beside the image.
  std::vector<std::wstring> WorkDirectories() {
    std::vector<std::wstring> found;
    for (const std::wstring& name : test::ListDirectory(scratch_.path())) {
      if (name != L"installer.exe") found.push_back(name);
    }
    return found;
  }

  test::RegistryLock lock_;
  test::ScratchDirectory scratch_{L"runarea"};
};

TEST_F(WorkAreaRun, AFailedUnpackRemovesTheWorkDirectory) {
  test::ProcessResult result =
      test::RunCopiedImage(test::LayoutPath(L"no_payload"), scratch_.path(), L"");
  ASSERT_TRUE(result.started) << "error " << result.start_error;
  EXPECT_EQ(result.exit_code, EXIT_ARCHIVE_RESOURCE_FAILED);
  EXPECT_TRUE(WorkDirectories().empty());
}

TEST_F(WorkAreaRun, TheCleanupSettingKeepsTheEmptyWorkDirectory) {
  KeepFiles();
  test::ProcessResult result =
      test::RunCopiedImage(test::LayoutPath(L"no_payload"), scratch_.path(), L"");
  ASSERT_TRUE(result.started) << "error " << result.start_error;
  EXPECT_EQ(result.exit_code, EXIT_ARCHIVE_RESOURCE_FAILED);
  std::vector<std::wstring> kept = WorkDirectories();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(IsWorkDirectoryName(kept[0])) << test::Narrow(kept[0]);
  EXPECT_TRUE(test::ListDirectory(scratch_ / kept[0]).empty());
}

TEST_F(WorkAreaRun, InstancesStartedTogetherEachGetTheirOwnDirectory) {
  KeepFiles();
  std::wstring image = scratch_ / L"installer.exe";
  ASSERT_WIN32(CopyFileW(test::LayoutPath(L"no_payload").c_str(), image.c_str(), FALSE));
  constexpr int kInstances = 8;
  std::vector<HANDLE> processes;
  for (int i = 0; i < kInstances; ++i) {
    std::wstring command = L"\"" + image + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_WIN32(CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    processes.push_back(process.hProcess);
  }
  for (HANDLE process : processes) {
    WaitForSingleObject(process, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process, &exit_code);
    EXPECT_EQ(exit_code, EXIT_ARCHIVE_RESOURCE_FAILED);
    CloseHandle(process);
  }
  std::vector<std::wstring> made = WorkDirectories();
  EXPECT_EQ(made.size(), static_cast<size_t>(kInstances));
  for (const std::wstring& name : made) EXPECT_TRUE(IsWorkDirectoryName(name)) << test::Narrow(name);
}

// In process: a run whose work directory cannot be made stops there.
LPWSTR WINAPI PlainCommandLine() { return const_cast<LPWSTR>(L"installer.exe"); }

int g_deletion_opens = 0;
decltype(&CreateFileW) g_create_file = nullptr;

HANDLE WINAPI CountingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE model) {
  if (access == DELETE) ++g_deletion_opens;
  return g_create_file(path, access, share, security, disposition, flags, model);
}

TEST_F(WorkAreaRun, NoWorkDirectoryMeansNoDeletionAndNoReport) {
  test::ImportPatch command_line("kernel32.dll", "GetCommandLineW", &PlainCommandLine);
  test::ImportPatch create_file("kernel32.dll", "CreateFileW", &CountingCreateFileW);
  ASSERT_TRUE(command_line.active() && create_file.active());
  g_create_file = create_file.original<decltype(CreateFileW)>();
  workarea_test::WorkDirectoryCalls calls;
  ASSERT_EQ(calls.Inactive(), "");
  workarea_test::g_steer.refuse_create_directory = true;
  // The key a report would go to exists: nothing may reach it.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ClientStateKey().c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  RunOutcome outcome = RunBootstrap(GetModuleHandleW(nullptr));
  EXPECT_EQ(outcome.exit_code, EXIT_WORK_DIR_NOT_CREATED);
  EXPECT_EQ(outcome.extra_code, 0u);
  EXPECT_EQ(workarea_test::g_seen.create_calls.size(), 10u);
  EXPECT_EQ(g_deletion_opens, 0);
  EXPECT_EQ(test::RegistryKeyTree(HKEY_CURRENT_USER, ClientStateKey(), KEY_WOW64_32KEY),
            std::vector<std::wstring>{});
  EXPECT_TRUE(
      test::RegistryValues(HKEY_CURRENT_USER, ClientStateKey(), KEY_WOW64_32KEY).empty());
}

}  // namespace
