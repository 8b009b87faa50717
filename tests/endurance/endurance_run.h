// Many whole runs of one installer, copied once into a scratch directory and
// started either all at once or one after another. Setup is the test setup
// program; half the runs are per-user and half per-machine, so that each
// batch reports both to a ClientState key that exists and to one that does
// not.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "run/run_fixture.h"
#include "support/registry_tree.h"

namespace endurance_test {

using run_test::ClientState;
using run_test::RunResult;

// The keys a run could create: all of HKCU\Software; all of HKLM\Software in
// the 32-bit view, where a per-machine run reports; and in the 64-bit view,
// where a report that missed its view would land, the keys right under
// HKLM\Software and the whole updater tree. (Not all of it: under Wine,
// listing HKLM\Software's Perflib key in the 64-bit view never ends.)
struct RegistryKeys {
  std::vector<std::wstring> user;
  std::vector<std::wstring> machine;
  std::vector<std::wstring> machine_64;

  static RegistryKeys Read() {
    RegistryKeys keys{test::RegistryKeyTree(HKEY_CURRENT_USER, L"Software", 0),
                      test::RegistryKeyTree(HKEY_LOCAL_MACHINE, L"Software", KEY_WOW64_32KEY),
                      test::RegistryKeyTree(HKEY_LOCAL_MACHINE, L"Software", KEY_WOW64_64KEY, 1)};
    for (const std::wstring& path :
         test::RegistryKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Orvane", KEY_WOW64_64KEY)) {
      keys.machine_64.push_back(L"Orvane\\" + path);
    }
    std::sort(keys.machine_64.begin(), keys.machine_64.end());
    return keys;
  }
};

inline std::string Listed(const std::vector<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += "\n  " + test::Narrow(name);
  return text;
}

// Wall-clock seconds, for the figures a test prints (never for assertions).
class Stopwatch {
 public:
  Stopwatch() { QueryPerformanceCounter(&start_); }
  double Seconds() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER start_;
};

class EnduranceRun : public run_test::StubRun {
 protected:
  void SetUp() override {
    StubRun::SetUp();
    installer_ = scratch_ / L"installer.exe";
    ASSERT_WIN32(CopyFileW(test::LayoutPath(L"run_bn").c_str(), installer_.c_str(), FALSE));
  }

  // Starts the installer; a per-machine run when system_level is set. Setup
  // writes its record to record and gets the variables given.
  test::ChildProcess Start(bool system_level, const std::wstring& record,
                           const test::Variables& variables = {}) {
    test::Variables all = {{test::kSetupRecord, record}};
    all.insert(all.end(), variables.begin(), variables.end());
    return test::StartProcess(installer_, CommandLine(system_level), current_dir_.path(),
                              test::EnvironmentWith(all));
  }

  // A run as the run tests see it, from its process and setup's record.
  RunResult Collect(const test::ProcessResult& process, const std::wstring& record) const {
    RunResult run;
    run.process = process;
    run.record = test::ReadSetupRecord(record);
    run.installer = installer_;
    return run;
  }

  std::wstring CommandLine(bool system_level) const {
    return L"\"" + installer_ + L"\"" + (system_level ? L" --system-level" : L"");
  }

  // What setup recorded, checked against the run it belongs to: it ran as
  // setup.exe in a work directory of its own beside the installer, and got
  // this run's command line. Fills run.work_dir.
  ::testing::AssertionResult SetupRanFromAWorkDirectory(RunResult& run, bool system_level) {
    if (!run.record.found) return ::testing::AssertionFailure() << "setup left no record";
    const std::wstring& path = run.record.module_path;
    size_t slash = path.rfind(L'\\');
    run.work_dir = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
    std::wstring parent = scratch_.path();
    bool beside = run.work_dir.size() == parent.size() + 13 &&
                  run.work_dir.compare(0, parent.size(), parent) == 0 &&
                  test::IsWorkDirectoryName(run.work_dir.substr(parent.size(), 12)) &&
                  path.substr(slash + 1) == L"setup.exe";
    if (!beside) {
      return ::testing::AssertionFailure() << "setup ran as " << test::Narrow(path);
    }
    std::wstring expected = FixedPart(run) + (system_level ? L" --system-level" : L"");
    if (run.record.command_line != expected) {
      return ::testing::AssertionFailure() << "setup got " << test::Narrow(run.record.command_line)
                                           << "\n  instead of " << test::Narrow(expected);
    }
    return ::testing::AssertionSuccess();
  }

  // The scratch directory holds the installer and nothing else.
  void ExpectOnlyTheInstallerLeft() {
    std::vector<std::wstring> left = test::ListDirectory(scratch_.path());
    EXPECT_EQ(left, std::vector<std::wstring>{L"installer.exe"}) << Listed(left);
  }

  // Present is a ClientState key with the updater's own "pv" in it, absent
  // the key of the other root, which does not exist.
  void PrepareKeys(const ClientState& present, const ClientState& absent) {
    RemoveClientStateKeys();
    present.Create();
    const wchar_t version[] = L"1.0.0.0";
    present.Set(L"pv", REG_SZ, version, sizeof(version));
    values_before_ = Values(present);
    keys_before_ = RegistryKeys::Read();
    ASSERT_FALSE(absent.Exists());
  }

  // The runs created no key and added only the success report's
  // "InstallerExtraCode1", 0x30000 + retries, to the key that was present.
  void ExpectOnlyTheRetryCountReported(const ClientState& present, const ClientState& absent) {
    RegistryKeys after = RegistryKeys::Read();
    std::vector<std::wstring> user_added = test::KeysAdded(keys_before_.user, after.user);
    std::vector<std::wstring> machine_added = test::KeysAdded(keys_before_.machine, after.machine);
    EXPECT_TRUE(user_added.empty()) << "new keys under HKCU\\Software:" << Listed(user_added);
    EXPECT_TRUE(machine_added.empty())
        << "new keys under HKLM\\Software (32-bit view):" << Listed(machine_added);
    std::vector<std::wstring> machine_64_added =
        test::KeysAdded(keys_before_.machine_64, after.machine_64);
    EXPECT_TRUE(machine_64_added.empty())
        << "new keys under HKLM\\Software (64-bit view):" << Listed(machine_64_added);
    EXPECT_FALSE(absent.Exists());

    std::map<std::wstring, test::RegistryValue> values = Values(present);
    std::optional<DWORD> reported = present.Dword(L"InstallerExtraCode1");
    ASSERT_TRUE(reported.has_value()) << "no REG_DWORD InstallerExtraCode1";
    EXPECT_EQ(*reported & 0xFFFF0000u, 0x30000u);
    EXPECT_LE(*reported & 0xFFFFu, 99u) << "retries";
    values.erase(L"InstallerExtraCode1");
    EXPECT_TRUE(values == values_before_) << "values other than InstallerExtraCode1 changed";
    std::printf("reported InstallerExtraCode1: 0x%05lX\n", static_cast<unsigned long>(*reported));
  }

  static std::map<std::wstring, test::RegistryValue> Values(const ClientState& key) {
    return test::RegistryValues(key.root, key.Subkey(), KEY_WOW64_32KEY);
  }

  std::wstring installer_;
  RegistryKeys keys_before_;
  std::map<std::wstring, test::RegistryValue> values_before_;
};

}  // namespace endurance_test
