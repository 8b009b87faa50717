// Whole runs of a packed installer whose setup is the test setup program: the
// installer is copied into a scratch directory and started with an exact
// command line and environment; setup records how it was started.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/run_outcome.h"
#include "options/launch_options.h"
#include "setup/setup_probe.h"
#include "support/client_state.h"
#include "support/test_support.h"

namespace run_test {

using test::IsWorkDirectoryName;

using ClientState = test::ClientStateKey;

inline const wchar_t* const kAllGuids[] = {kDefaultAppGuid, kBetaAppGuid, kDevAppGuid,
                                           kSxsAppGuid};

// The cleanup setting: "0" keeps the work directory and setup after a run.
inline const wchar_t kOrvaneKey[] = L"Software\\Orvane";
inline const wchar_t kCleanupValue[] = L"BriselInstallerCleanup";

struct RunResult {
  test::ProcessResult process;
  test::SetupRecord record;
  std::wstring installer;  // the installer's path
  std::wstring work_dir;   // setup's directory, with its backslash, when setup ran
};

// Every run holds the registry lock: it may read the cleanup setting and
// report to ClientState keys that other tests use as well. The ClientState
// keys of all four GUIDs and the cleanup setting are absent at the start and
// the end of each test.
class StubRun : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveClientStateKeys();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue);
  }
  void TearDown() override {
    RemoveClientStateKeys();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue);
  }

  // Sets the cleanup setting to value, or removes it for nullptr.
  static void SetCleanup(const wchar_t* value) {
    if (value == nullptr) {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue);
      return;
    }
    DWORD size = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOrvaneKey, kCleanupValue, REG_SZ, value, size),
              ERROR_SUCCESS);
  }

  static void RemoveClientStateKeys() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (const wchar_t* guid : kAllGuids) ClientState{root, guid}.Remove();
    }
  }

  // Copies the layout into directory as file_name and starts it with
  // command, in which every "%P" stands for the copy's path. Setup records
  // into the records directory and gets the variables given.
  RunResult Run(const std::wstring& layout, const std::wstring& command,
                const test::Variables& variables = {}, const std::wstring& directory = L"",
                const std::wstring& file_name = L"installer.exe") {
    RunResult run;
    run.installer = (directory.empty() ? scratch_.path() : directory) + file_name;
    if (!CopyFileW(test::LayoutPath(layout).c_str(), run.installer.c_str(), FALSE)) {
      ADD_FAILURE() << "cannot copy " << test::Narrow(layout) << ": " << GetLastError();
      return run;
    }
    std::wstring line = command;
    for (size_t at = line.find(L"%P"); at != std::wstring::npos; at = line.find(L"%P", at)) {
      line.replace(at, 2, run.installer);
      at += run.installer.size();
    }
    DeleteFileW(record_.c_str());
    test::Variables all = {{test::kSetupRecord, record_}};
    all.insert(all.end(), variables.begin(), variables.end());
    run.process = test::RunProcess(run.installer, line, current_dir_.path(),
                                   test::EnvironmentWith(all));
    EXPECT_TRUE(run.process.started) << "error " << run.process.start_error;
    run.record = test::ReadSetupRecord(record_);
    if (run.record.found) {
      run.work_dir = run.record.module_path.substr(0, run.record.module_path.rfind(L'\\') + 1);
    }
    return run;
  }

  // The command line setup must receive for a run of installer, up to the
  // user's arguments.
  static std::wstring FixedPart(const RunResult& run, const wchar_t* setup_name = L"setup.exe",
                                const wchar_t* type = L"BN") {
    return L"\"" + run.work_dir + setup_name + L"\" --bootpack-path=\"" + run.installer +
           L"\" --archive-resource-name=\"BRISEL.7Z\" --archive-resource-type=\"" + type + L"\"";
  }

  test::RegistryLock lock_;
  test::ScratchDirectory scratch_{L"run"};
  test::ScratchDirectory records_{L"record"};
  test::ScratchDirectory current_dir_{L"cwd"};
  std::wstring record_ = records_ / L"record.txt";
  ClientState user_{HKEY_CURRENT_USER, kDefaultAppGuid};
  ClientState machine_{HKEY_LOCAL_MACHINE, kDefaultAppGuid};
};


}  // namespace run_test
