// Setup's exit code as the installer's own, and what the real stub leaves in
// the updater's ClientState keys after the run.
#include <gtest/gtest.h>

#include "run/run_fixture.h"
#include "support/registry_tree.h"

namespace run_test {
namespace {

using ReportRun = StubRun;

test::Variables ExitWith(uint32_t code) {
  return {{test::kSetupExitCode, std::to_wstring(code)}};
}

// Provokes: exit.setup-code, setup.completed
TEST_F(ReportRun, SetupExitCodesPassThroughAndFailuresAreReported) {
  for (uint32_t code : {1u, 3u, 112u, 0x80070005u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    user_.Remove();
    user_.Create();
    RunResult run = Run(L"run_bn", L"\"%P\"", ExitWith(code));
    EXPECT_EQ(run.process.exit_code, code);
    EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
    EXPECT_EQ(user_.Dword(L"InstallerError"), code);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0u);
  }
}

// Provokes: exit.ok
TEST_F(ReportRun, SuccessWritesOnlyTheRetryCount) {
  user_.Create();
  user_.SetDword(L"InstallerResult", 0);
  user_.SetDword(L"InstallerError", 1603);
  RunResult run = Run(L"run_bn", L"\"%P\"", ExitWith(0));
  EXPECT_EQ(run.process.exit_code, 0u);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0x30000u);
  EXPECT_EQ(user_.Dword(L"InstallerResult"), 0u);
  EXPECT_EQ(user_.Dword(L"InstallerError"), 1603u);
}

// Provokes: report.key-missing
TEST_F(ReportRun, AbsentKeyIsNeitherWrittenNorCreated) {
  for (uint32_t code : {0u, 3u}) {
    for (const wchar_t* command : {L"\"%P\"", L"\"%P\" --system-level"}) {
      RunResult run = Run(L"run_bn", command, ExitWith(code));
      EXPECT_EQ(run.process.exit_code, code);
    }
  }
  EXPECT_FALSE(user_.Exists());
  EXPECT_FALSE(machine_.Exists());
}

// Provokes: report.read-fails
TEST_F(ReportRun, RecordedResultIsKeptAndOtherValuesReplaced) {
  const wchar_t text[] = L"1";
  struct Row {
    DWORD type;  // REG_NONE: no value
    const void* data;
    DWORD size;
    bool reported;
    const char* what;
    DWORD result_after = 1;
  } rows[] = {
      {REG_DWORD, "\1\0\0\0", 4, false, "InstallerResult already 1"},
      // Any result but 0 is one someone recorded: it stays.
      {REG_DWORD, "\2\0\0\0", 4, false, "InstallerResult already 2", 2},
      {REG_DWORD, "\xFF\xFF\xFF\xFF", 4, false, "InstallerResult already 0xFFFFFFFF",
       0xFFFFFFFF},
      {REG_DWORD, "\0\0\0\0", 4, true, "InstallerResult 0"},
      {REG_NONE, nullptr, 0, true, "InstallerResult absent"},
      {REG_SZ, text, sizeof(text), true, "InstallerResult a REG_SZ"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    user_.Remove();
    user_.Create();
    if (row.type != REG_NONE) user_.Set(L"InstallerResult", row.type, row.data, row.size);
    RunResult run = Run(L"run_bn", L"\"%P\"", ExitWith(3));
    EXPECT_EQ(run.process.exit_code, 3u);
    EXPECT_EQ(user_.Dword(L"InstallerResult"), row.result_after);
    std::optional<DWORD> none;
    EXPECT_EQ(user_.Dword(L"InstallerError"), row.reported ? std::optional<DWORD>(3) : none);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.reported ? std::optional<DWORD>(0) : none);
  }
}

TEST_F(ReportRun, SetupsOwnResultStandsAndItsExitCodeIsTheInstallers) {
  user_.Create();
  RunResult run = Run(L"run_bn", L"\"%P\"",
                      {{test::kSetupExitCode, L"5"}, {test::kSetupResultKey, user_.ForSetup()}});
  EXPECT_EQ(run.process.exit_code, 5u);
  EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u);
  EXPECT_EQ(user_.Dword(L"InstallerError"), std::nullopt);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), std::nullopt);
}

TEST_F(ReportRun, PerMachineRunsReportUnderTheMachineRootIn32BitView) {
  struct Row {
    const wchar_t* command;
    test::Variables variables;
    const char* what;
  } rows[] = {
      {L"\"%P\" --system-level", {}, "by switch"},
      {L"\"%P\" --SYSTEM-LEVEL", {}, "by switch, any case"},
      {L"\"%P\"", {{L"OrvaneUpdateIsMachine", L"1"}}, "by the updater's variable"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RemoveClientStateKeys();
    user_.Create();
    machine_.Create();
    // The same key in the 64-bit view, where a report must not go.
    test::DeleteRegistryTree(HKEY_LOCAL_MACHINE, machine_.Subkey(), KEY_WOW64_64KEY);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, machine_.Subkey().c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    test::Variables variables = row.variables;
    variables.push_back({test::kSetupExitCode, L"7"});
    RunResult run = Run(L"run_bn", row.command, variables);
    EXPECT_EQ(run.process.exit_code, 7u);
    EXPECT_EQ(machine_.Dword(L"InstallerError"), 7u);
    EXPECT_EQ(user_.Dword(L"InstallerError"), std::nullopt);
    // Nothing went to the 64-bit view of the machine root.
    EXPECT_TRUE(machine_.Exists(KEY_WOW64_64KEY));
    EXPECT_TRUE(test::RegistryValues(HKEY_LOCAL_MACHINE, machine_.Subkey(), KEY_WOW64_64KEY)
                    .empty());
    test::DeleteRegistryTree(HKEY_LOCAL_MACHINE, machine_.Subkey(), KEY_WOW64_64KEY);
  }
}

TEST_F(ReportRun, ChannelSwitchesChooseTheirGuidsKey) {
  struct Row {
    const wchar_t* switch_text;
    const wchar_t* guid;
  } rows[] = {{L"", kDefaultAppGuid},
              {L" --brisel-beta", kBetaAppGuid},
              {L" --Brisel-Dev", kDevAppGuid},
              {L" --brisel-sxs", kSxsAppGuid}};
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.switch_text));
    RemoveClientStateKeys();
    for (const wchar_t* guid : kAllGuids) ClientState{HKEY_CURRENT_USER, guid}.Create();
    RunResult run = Run(L"run_bn", std::wstring(L"\"%P\"") + row.switch_text, ExitWith(9));
    EXPECT_EQ(run.process.exit_code, 9u);
    for (const wchar_t* guid : kAllGuids) {
      bool reported = ClientState{HKEY_CURRENT_USER, guid}.Dword(L"InstallerError").has_value();
      EXPECT_EQ(reported, guid == row.guid) << test::Narrow(guid);
    }
  }
}

}  // namespace
}  // namespace run_test
