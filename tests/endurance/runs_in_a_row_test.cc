// One hundred runs of the same installer, one after another: every run ends
// with setup's exit code and takes away what it made before the next starts,
// and the ClientState keys get nothing but the success report.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "endurance/endurance_run.h"

namespace endurance_test {
namespace {

constexpr int kRuns = 100;

using RunsInARow = EnduranceRun;

TEST_F(RunsInARow, AHundredRunsEachEndWithSetupsCodeAndLeaveNothingBehind) {
  ClientState present{HKEY_CURRENT_USER, kDefaultAppGuid};
  ClientState absent{HKEY_LOCAL_MACHINE, kDefaultAppGuid};
  PrepareKeys(present, absent);

  std::set<std::wstring> names;
  Stopwatch clock;
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    // Every other run is per-machine, reporting to the key that is absent.
    bool system_level = i % 2 == 1;
    DeleteFileW(record_.c_str());
    RunResult run = Collect(Start(system_level, record_).Wait(), record_);
    ASSERT_TRUE(run.process.started) << "error " << run.process.start_error;
    ASSERT_EQ(run.process.exit_code, 0u);
    ASSERT_TRUE(SetupRanFromAWorkDirectory(run, system_level));
    names.insert(run.work_dir);
    ExpectOnlyTheInstallerLeft();
    ASSERT_FALSE(HasFailure()) << "stopped at the first run that left something behind";
  }
  double elapsed = clock.Seconds();

  ExpectOnlyTheRetryCountReported(present, absent);
  std::printf("%d runs in a row in %.2f s (%.3f s a run), %zu distinct work directory names\n",
              kRuns, elapsed, elapsed / kRuns, names.size());
}

}  // namespace
}  // namespace endurance_test
