// Sixteen instances of one installer started at once from one directory: each
// runs setup from a work directory of its own, ends with setup's exit code,
// removes what it made and reports only to a ClientState key that exists.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "endurance/endurance_run.h"

namespace endurance_test {
namespace {

constexpr int kInstances = 16;

// Keeps setups running until the test lets them end: each setup releases the
// arrival semaphore once it has written its record, then waits for the gate.
// The gate opens at the latest when the object goes, so a failing test never
// leaves setups waiting.
class SetupGate {
 public:
  SetupGate() {
    static unsigned counter = 0;
    std::wstring base = L"Local\\bootpack-endurance-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++counter);
    arrived_name_ = base + L"-arrived";
    gate_name_ = base + L"-gate";
    arrived_ = CreateSemaphoreW(nullptr, 0, kInstances, arrived_name_.c_str());
    gate_ = CreateEventW(nullptr, TRUE, FALSE, gate_name_.c_str());
  }
  ~SetupGate() {
    Open();
    CloseHandle(gate_);
    CloseHandle(arrived_);
  }
  SetupGate(const SetupGate&) = delete;
  SetupGate& operator=(const SetupGate&) = delete;

  bool created() const { return arrived_ != nullptr && gate_ != nullptr; }

  test::Variables Variables() const {
    return {{test::kSetupArrived, arrived_name_}, {test::kSetupGate, gate_name_}};
  }

  // Waits until every child's setup has arrived, or until a child ends first
  // (its setup can no longer arrive). Returns the number of arrivals.
  int WaitForArrivals(const std::vector<test::ChildProcess>& children) {
    std::vector<HANDLE> handles{arrived_};
    for (const test::ChildProcess& child : children) {
      if (child.started()) handles.push_back(child.handle());
    }
    int arrivals = 0;
    while (arrivals < static_cast<int>(children.size())) {
      DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                           FALSE, INFINITE);
      // The semaphore comes first, so arrivals are counted before any ending.
      if (which != WAIT_OBJECT_0) break;
      ++arrivals;
    }
    return arrivals;
  }

  void Open() { SetEvent(gate_); }

 private:
  std::wstring arrived_name_;
  std::wstring gate_name_;
  HANDLE arrived_ = nullptr;
  HANDLE gate_ = nullptr;
};

using InstancesAtOnce = EnduranceRun;

TEST_F(InstancesAtOnce, SixteenFromOneDirectoryEachRunTheirOwnSetupAndLeaveOnlyTheInstaller) {
  struct Row {
    HKEY present_root;
    const char* what;
  } rows[] = {
      {HKEY_CURRENT_USER, "the per-user ClientState key exists, the per-machine one does not"},
      {HKEY_LOCAL_MACHINE, "the per-machine ClientState key exists, the per-user one does not"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ClientState present{row.present_root, kDefaultAppGuid};
    ClientState absent{
        row.present_root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
        kDefaultAppGuid};
    PrepareKeys(present, absent);

    SetupGate gate;
    ASSERT_TRUE(gate.created()) << "error " << GetLastError();
    std::vector<std::wstring> records;
    std::vector<test::ChildProcess> children;
    Stopwatch clock;
    // Every instance is created before any is waited for; odd ones per-machine.
    for (int i = 0; i < kInstances; ++i) {
      records.push_back(records_ / (L"record-" + std::to_wstring(i) + L".txt"));
      DeleteFileW(records.back().c_str());
      children.push_back(Start(i % 2 == 1, records.back(), gate.Variables()));
      EXPECT_TRUE(children.back().started())
          << "instance " << i << ": error " << children.back().start_error();
    }

    // While all sixteen setups are running, the directory holds sixteen work
    // directories, each with its setup file in it.
    int arrivals = gate.WaitForArrivals(children);
    double all_running = clock.Seconds();
    EXPECT_EQ(arrivals, kInstances) << "an instance ended before every setup was running";
    std::vector<std::wstring> during = test::ListDirectory(scratch_.path());
    int work_dirs = 0;
    for (const std::wstring& name : during) {
      if (name == L"installer.exe") continue;
      EXPECT_TRUE(test::IsWorkDirectoryName(name)) << test::Narrow(name);
      EXPECT_EQ(test::ListDirectory(scratch_ / name), std::vector<std::wstring>{L"setup.exe"})
          << test::Narrow(name);
      ++work_dirs;
    }
    EXPECT_EQ(work_dirs, arrivals) << Listed(during);
    gate.Open();

    std::set<std::wstring> directories;
    for (int i = 0; i < kInstances; ++i) {
      SCOPED_TRACE("instance " + std::to_string(i));
      RunResult run = Collect(children[i].Wait(), records[i]);
      EXPECT_EQ(run.process.exit_code, 0u);
      EXPECT_TRUE(SetupRanFromAWorkDirectory(run, i % 2 == 1));
      directories.insert(run.work_dir);
    }
    double all_ended = clock.Seconds();
    EXPECT_EQ(directories.size(), static_cast<size_t>(kInstances)) << "work directories shared";

    ExpectOnlyTheInstallerLeft();
    ExpectOnlyTheRetryCountReported(present, absent);
    std::printf(
        "%d instances at once: %d setups running together after %.2f s, all %d ended "
        "after %.2f s, %zu distinct work directories\n",
        kInstances, arrivals, all_running, kInstances, all_ended, directories.size());
  }
}

}  // namespace
}  // namespace endurance_test
