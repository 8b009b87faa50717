// The updater reports against real ClientState keys in the 32-bit view of
// HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, made and removed by each test.
// The per-machine root, the channels and a recorded result are shown on whole
// runs of the stub (tests/run).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "reporting/client_state_key.h"
#include "reporting/updater_report.h"
#include "support/client_state.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {


using Key = test::ClientStateKey;

class UpdaterReport : public ::testing::Test {
 protected:
  void SetUp() override { RemoveAll(); }
  void TearDown() override { RemoveAll(); }

  void RemoveAll() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (const wchar_t* guid : {kDefaultAppGuid, kBetaAppGuid, kDevAppGuid, kSxsAppGuid}) {
        Key{root, guid}.Remove();
      }
    }
  }

  test::RegistryLock lock_;
  Key user_{HKEY_CURRENT_USER, kDefaultAppGuid};
  Key machine_{HKEY_LOCAL_MACHINE, kDefaultAppGuid};
  LaunchOptions options_;
};

// Provokes: report.key-missing
TEST_F(UpdaterReport, AbsentKeyIsNeitherWrittenNorCreated) {
  ReportFailureToUpdater(options_, RunOutcome(3, 0));
  ReportRetriesToUpdater(options_, 5);
  options_.is_system_level = 1;
  ReportFailureToUpdater(options_, RunOutcome(3, 0));
  ReportRetriesToUpdater(options_, 5);
  EXPECT_FALSE(user_.Exists());
  EXPECT_FALSE(machine_.Exists());
  EXPECT_FALSE(machine_.Exists(KEY_WOW64_64KEY));
}

// Provokes: report.read-fails
TEST_F(UpdaterReport, FailureWritesAllThreeWhenNoResultIsRecorded) {
  const wchar_t text[] = L"1";
  const uint64_t eight_bytes = 7;
  const WORD two_bytes = 7;
  struct Row {
    DWORD type;  // REG_NONE: no value at all
    const void* data;
    DWORD size;
    const char* what;
  } rows[] = {
      {REG_NONE, nullptr, 0, "absent"},
      {REG_DWORD, "\0\0\0\0", 4, "0"},
      {REG_SZ, text, sizeof(text), "REG_SZ \"1\""},
      {REG_BINARY, "\1\0\0\0", 4, "four bytes, not a REG_DWORD"},
      {REG_QWORD, &eight_bytes, 8, "larger than four bytes"},
      {REG_DWORD, &two_bytes, 2, "REG_DWORD of two bytes"},
  };
  for (const Row& row : rows) {
    user_.Remove();
    user_.Create();
    if (row.type != REG_NONE) user_.Set(L"InstallerResult", row.type, row.data, row.size);
    ReportFailureToUpdater(options_, RunOutcome(EXIT_SETUP_NOT_FOUND, 0xFFFFFFFF));
    EXPECT_EQ(user_.Dword(L"InstallerResult"), 1u) << row.what;
    EXPECT_EQ(user_.Dword(L"InstallerError"), 122u) << row.what;
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), 0xFFFFFFFFu) << row.what;
  }
}

TEST_F(UpdaterReport, SuccessNeverReportsAFailure) {
  user_.Create();
  ReportFailureToUpdater(options_, RunOutcome(EXIT_OK, 7));
  EXPECT_EQ(user_.Dword(L"InstallerResult"), std::nullopt);
  EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), std::nullopt);
}

TEST_F(UpdaterReport, SuccessWritesTheRetriesAndLeavesTheResultAlone) {
  user_.Create();
  user_.SetDword(L"InstallerResult", 0);
  user_.SetDword(L"InstallerError", 42);
  struct Row {
    int32_t max_delete_attempts;
    DWORD stored;
  } rows[] = {{-1, 0x30000}, {0, 0x30000}, {1, 0x30000}, {2, 0x30001}, {5, 0x30004},
              {100, 0x30063}, {0x10001, 0x30000}};
  for (const Row& row : rows) {
    ReportRetriesToUpdater(options_, row.max_delete_attempts);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.stored) << row.max_delete_attempts;
  }
  EXPECT_EQ(user_.Dword(L"InstallerResult"), 0u);
  EXPECT_EQ(user_.Dword(L"InstallerError"), 42u);
}

TEST_F(UpdaterReport, ClientStateKeyOperationsReturnTheirErrors) {
  RegistryKey key;
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kDefaultAppGuid, KEY_QUERY_VALUE, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.is_valid());
  EXPECT_FALSE(user_.Exists());

  user_.Create();
  ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kDefaultAppGuid,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, key),
            ERROR_SUCCESS);
  HKEY held = key.get();
  std::wstring long_guid(260, L'g');
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, long_guid.c_str(), KEY_QUERY_VALUE, key),
            ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(key.get(), held) << "a subkey that does not fit leaves the holder alone";

  const uint64_t eight_bytes = 7;
  const WORD two_bytes = 7;
  user_.Set(L"binary", REG_BINARY, "\1\0\0\0", 4);
  user_.Set(L"qword", REG_QWORD, &eight_bytes, 8);
  user_.Set(L"short", REG_DWORD, &two_bytes, 2);
  user_.SetDword(L"dword", 0x80000001);
  struct Row {
    const wchar_t* name;
    LSTATUS result;
  } rows[] = {{L"absent", ERROR_FILE_NOT_FOUND}, {L"binary", ERROR_NOT_SUPPORTED},
              {L"qword", ERROR_MORE_DATA},       {L"short", ERROR_NO_DATA},
              {L"dword", ERROR_SUCCESS}};
  for (const Row& row : rows) {
    DWORD value = 0;
    EXPECT_EQ(ReadDwordValue(key, row.name, value), row.result) << test::Narrow(row.name);
    if (row.result == ERROR_SUCCESS) EXPECT_EQ(value, 0x80000001u);
  }
  user_.Set(L"text", REG_SZ, L"x", 4);
  EXPECT_EQ(WriteDwordValue(key, L"text", 0x12345678), ERROR_SUCCESS);
  EXPECT_EQ(user_.Dword(L"text"), 0x12345678u) << "a REG_SZ is replaced";
}

// Registry calls seen while a report runs, with one value's write refused.
int g_opens = 0;
int g_writes = 0;
const wchar_t* g_refused_value = L"";

template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name)));
}

LSTATUS WINAPI CountingRegOpenKeyExW(HKEY root, LPCWSTR subkey, DWORD options, REGSAM access,
                                     PHKEY key) {
  ++g_opens;
  return Real<decltype(RegOpenKeyExW)>("RegOpenKeyExW")(root, subkey, options, access, key);
}

LSTATUS WINAPI RefusingRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD size) {
  ++g_writes;
  if (lstrcmpW(name, g_refused_value) == 0) return ERROR_ACCESS_DENIED;
  return Real<decltype(RegSetValueExW)>("RegSetValueExW")(key, name, reserved, type, data, size);
}

class WatchedReport : public UpdaterReport {
 protected:
  void SetUp() override {
    UpdaterReport::SetUp();
    g_opens = g_writes = 0;
    g_refused_value = L"";
  }
  // Installed only around the calls under test: the key helpers use both.
  void Report(RunOutcome failure, int32_t max_delete_attempts) {
    test::ImportPatch open("advapi32.dll", "RegOpenKeyExW", &CountingRegOpenKeyExW);
    test::ImportPatch set("advapi32.dll", "RegSetValueExW", &RefusingRegSetValueExW);
    ASSERT_TRUE(open.active() && set.active());
    ReportFailureToUpdater(options_, failure);
    ReportRetriesToUpdater(options_, max_delete_attempts);
  }
};

// Provokes: report.subkey-too-long
TEST_F(WatchedReport, AGuidThatMakesTheKeyPathTooLongOpensAndWritesNothing) {
  // 35 characters of path and 224 of the GUID fill the buffer exactly.
  struct Row {
    size_t guid_length;
    int opens;
  } rows[] = {{224, 2}, {225, 0}, {1000, 0}};
  for (const Row& row : rows) {
    std::wstring guid(row.guid_length, L'g');
    options_.app_guid = guid.c_str();
    g_opens = g_writes = 0;
    Report(RunOutcome(3, 0), 2);
    EXPECT_EQ(g_opens, row.opens) << row.guid_length;
    EXPECT_EQ(g_writes, 0) << row.guid_length << ": no key of that name exists";
  }
  EXPECT_FALSE(user_.Exists());
}

// Provokes: report.access-denied
TEST_F(UpdaterReport, AKeyThatCannotBeOpenedForWritingIsLeftAsItIs) {
  for (uint8_t system_level : {0, 1}) {
    options_.is_system_level = system_level;
    const Key& key = system_level ? machine_ : user_;
    key.Create();
    key.DenySettingValues();
    ReportFailureToUpdater(options_, RunOutcome(EXIT_SETUP_NOT_FOUND, 0xFFFFFFFF));
    ReportRetriesToUpdater(options_, 5);
    EXPECT_EQ(key.ValueCount(), 0u) << int(system_level);
  }
}

// Provokes: report.write-fails
TEST_F(WatchedReport, AValueThatCannotBeWrittenLeavesTheLaterWritesMade) {
  struct Row {
    const wchar_t* refused;
    std::optional<DWORD> result, error, extra;
  } rows[] = {
      {L"InstallerResult", std::nullopt, 122, 0xFFFFFFFF},
      {L"InstallerError", 1, std::nullopt, 0xFFFFFFFF},
      {L"InstallerExtraCode1", 1, 122, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.refused));
    user_.Remove();
    user_.Create();
    g_refused_value = row.refused;
    g_writes = 0;
    {
      test::ImportPatch set("advapi32.dll", "RegSetValueExW", &RefusingRegSetValueExW);
      ASSERT_TRUE(set.active());
      ReportFailureToUpdater(options_, RunOutcome(EXIT_SETUP_NOT_FOUND, 0xFFFFFFFF));
    }
    EXPECT_EQ(g_writes, 3);
    EXPECT_EQ(user_.Dword(L"InstallerResult"), row.result);
    EXPECT_EQ(user_.Dword(L"InstallerError"), row.error);
    EXPECT_EQ(user_.Dword(L"InstallerExtraCode1"), row.extra);
  }
}

}  // namespace
