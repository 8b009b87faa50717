// What the real stub deletes after setup has run, and the retries the success
// report then carries.
#include <gtest/gtest.h>

#include "run/run_fixture.h"

namespace run_test {
namespace {

class DeletionRun : public StubRun {
 protected:
  void SetUp() override {
    StubRun::SetUp();
    user_.Create();
  }
};

TEST_F(DeletionRun, SetupFileAndWorkDirectoryGoAfterANormalRun) {
  RunResult run = Run(L"run_bn", L"\"%P\"");
  EXPECT_EQ(run.process.exit_code, 0u);
  ASSERT_TRUE(run.record.found);
  EXPECT_FALSE(test::FileExists(run.work_dir));
  EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"installer.exe"});
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0x30000u);
}

TEST_F(DeletionRun, FileLeftBySetupCostsAHundredTriesAndKeepsTheDirectory) {
  RunResult run = Run(L"run_bn", L"\"%P\"", {{test::kSetupLeaveFile, L"left.log"}});
  EXPECT_EQ(run.process.exit_code, 0u) << "the exit code stays setup's";
  ASSERT_TRUE(run.record.found);
  EXPECT_EQ(test::ListDirectory(run.work_dir), std::vector<std::wstring>{L"left.log"});
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0x30000u | 99u);
}

TEST_F(DeletionRun, CleanupValueZeroKeepsSetupAndItsDirectory) {
  ASSERT_NO_FATAL_FAILURE(SetCleanup(L"0"));
  // A failed setup is reported; a successful one reports no deletion retried.
  struct Row {
    const wchar_t* exit_code;
    uint32_t expected_exit;
    std::optional<DWORD> error;
    DWORD extra;
  } rows[] = {{L"3", 3, 3, 0}, {L"0", 0, std::nullopt, 0x30000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.exit_code));
    user_.Remove();
    user_.Create();
    RunResult run = Run(L"run_bn", L"\"%P\"", {{test::kSetupExitCode, row.exit_code}});
    EXPECT_EQ(run.process.exit_code, row.expected_exit);
    ASSERT_TRUE(run.record.found);
    EXPECT_EQ(test::ListDirectory(run.work_dir), std::vector<std::wstring>{L"setup.exe"});
    EXPECT_EQ(user_.Dword(L"InstallerError"), row.error);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.extra);
  }
}

TEST_F(DeletionRun, SetupFileHeldAfterSetupEndsIsRetriedAndCounted) {
  // A second process keeps setup.exe open without delete sharing for a
  // while after setup has ended; the stub retries until it lets go.
  RunResult run = Run(L"run_bn", L"\"%P\"",
                      {{test::kSetupHoldMs, L"1500"}, {test::kSetupHolder, test::TestSetupPath()}});
  EXPECT_EQ(run.process.exit_code, 0u);
  ASSERT_TRUE(run.record.found);
  EXPECT_FALSE(test::FileExists(run.work_dir));
  std::optional<DWORD> extra = user_.Dword(L"InstallerExtraCode1");
  ASSERT_TRUE(extra.has_value());
  EXPECT_EQ(*extra & 0xFFFF0000u, 0x30000u);
  EXPECT_GE(*extra & 0xFFFFu, 1u);
  EXPECT_LE(*extra & 0xFFFFu, 99u);
  std::printf("held setup file: %u retries\n", static_cast<unsigned>(*extra & 0xFFFF));
}

}  // namespace
}  // namespace run_test
