#include <gtest/gtest.h>

#include <string>

#include "options/launch_options.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

const wchar_t kProgram[] = L"\"C:\\apps\\installer.exe\"";

struct ParsedOptions {
  bool ok;
  const wchar_t* app_guid;
  uint8_t is_system_level;
  uint8_t operation;
};

ParsedOptions Parse(const std::wstring& arguments) {
  static std::wstring line;  // raw_command_line must outlive the call
  line = std::wstring(kProgram) + arguments;
  LaunchOptions options;
  bool ok = ParseCommandLine(options, line.c_str());
  ParsedOptions parsed{ok, options.app_guid, options.is_system_level, options.operation};
  EXPECT_EQ(options.raw_command_line, line.c_str());
  ReleaseLaunchOptions(options);
  return parsed;
}

class LaunchOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentVariableW(L"OrvaneUpdateIsMachine", nullptr); }
  void TearDown() override { SetEnvironmentVariableW(L"OrvaneUpdateIsMachine", nullptr); }
};

TEST_F(LaunchOptionsTest, NoArgumentsGiveDefaults) {
  ParsedOptions parsed = Parse(L"");
  EXPECT_TRUE(parsed.ok);
  EXPECT_STREQ(parsed.app_guid, L"{3D58B1A2-7C40-4e1b-A9D3-58E2F06B7C41}");
  EXPECT_EQ(parsed.is_system_level, 0);
  EXPECT_EQ(parsed.operation, OPERATION_NORMAL);
}

TEST_F(LaunchOptionsTest, SwitchesMatchWholeArgumentsIgnoringCase) {
  EXPECT_EQ(Parse(L" --SYSTEM-LEVEL").is_system_level, 1);
  EXPECT_EQ(Parse(L" --system-level=1").is_system_level, 0) << "a suffix makes another argument";
  EXPECT_EQ(Parse(L" --system-levelx").is_system_level, 0);
  EXPECT_EQ(Parse(L" /verbose --System-Level other").is_system_level, 1);
}

TEST_F(LaunchOptionsTest, LastChannelSwitchWins) {
  EXPECT_STREQ(Parse(L" --brisel-dev --brisel-beta").app_guid,
               L"{6F2A90C3-1B85-4D7E-8C14-D3A7B52E0196}");
  EXPECT_STREQ(Parse(L" --brisel-beta --brisel-dev").app_guid,
               L"{A7D41E08-95C2-4B3F-9E60-2C8F17D4B5A3}");
  EXPECT_STREQ(Parse(L" --BRISEL-SXS").app_guid, L"{c93b27e4-0d6f-4a58-b1e9-6e25f8a031d7}");
}

TEST_F(LaunchOptionsTest, CleanupSwitchesAnywhereButTheProgramPath) {
  EXPECT_EQ(Parse(L" --cleanup").operation, OPERATION_CLEANUP);
  EXPECT_EQ(Parse(L" a b --CORLITH c").operation, OPERATION_CLEANUP);
  static std::wstring line = L"--cleanup --system-level";
  LaunchOptions options;
  ASSERT_TRUE(ParseCommandLine(options, line.c_str()));
  EXPECT_EQ(options.operation, OPERATION_NORMAL) << "the program path is never examined";
  EXPECT_EQ(options.is_system_level, 1);
}

TEST_F(LaunchOptionsTest, MachineVariableMustBeExactlyOne) {
  struct Row {
    const wchar_t* value;
    uint8_t expected;
  } rows[] = {{L"1", 1}, {L"11", 0}, {L" 1", 0}, {L"0", 0}, {L"", 0}, {nullptr, 0}};
  for (const Row& row : rows) {
    SetEnvironmentVariableW(L"OrvaneUpdateIsMachine", row.value);
    EXPECT_EQ(Parse(L"").is_system_level, row.expected) << (row.value ? row.value : L"(absent)");
  }
}

TEST_F(LaunchOptionsTest, SystemLevelSwitchWinsOverVariable) {
  SetEnvironmentVariableW(L"OrvaneUpdateIsMachine", L"0");
  EXPECT_EQ(Parse(L" --system-level").is_system_level, 1);
}

LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST_F(LaunchOptionsTest, UnsplittableCommandLineSkipsTheVariable) {
  test::ImportPatch patch("shell32.dll", "CommandLineToArgvW", &FailingCommandLineToArgvW);
  ASSERT_TRUE(patch.active());
  SetEnvironmentVariableW(L"OrvaneUpdateIsMachine", L"1");
  static std::wstring line = L"x.exe --system-level";
  LaunchOptions options;
  EXPECT_FALSE(ParseCommandLine(options, line.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(options.raw_command_line, line.c_str());
  EXPECT_EQ(options.argv, nullptr);
  EXPECT_EQ(options.is_system_level, 0);
}

TEST_F(LaunchOptionsTest, ReleaseRestoresDefaults) {
  static std::wstring line = L"x.exe --brisel-beta --system-level --cleanup";
  LaunchOptions options;
  ASSERT_TRUE(ParseCommandLine(options, line.c_str()));
  options.delete_files = 0;
  ReleaseLaunchOptions(options);
  EXPECT_EQ(options.argv, nullptr);
  EXPECT_EQ(options.argc, 0);
  EXPECT_EQ(options.raw_command_line, nullptr);
  EXPECT_EQ(options.app_guid, kDefaultAppGuid);
  EXPECT_EQ(options.is_system_level, 0);
  EXPECT_EQ(options.operation, OPERATION_NORMAL);
  EXPECT_EQ(options.delete_files, 1);
  ReleaseLaunchOptions(options);  // a second release does nothing
}

// The cleanup setting under HKEY_CURRENT_USER\Software\Orvane.
class CleanupSettingTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Orvane", kValue); }
  void TearDown() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Orvane", kValue); }

  void Store(DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Orvane", kValue, type, data, size),
              ERROR_SUCCESS);
  }

  uint8_t DeleteFiles() {
    LaunchOptions options;
    EXPECT_TRUE(InitializeLaunchOptions(options));
    return options.delete_files;
  }

  static constexpr const wchar_t* kValue = L"BriselInstallerCleanup";
  test::RegistryLock lock_;
};

TEST_F(CleanupSettingTest, AbsentValueDeletes) { EXPECT_EQ(DeleteFiles(), 1); }

TEST_F(CleanupSettingTest, ZeroKeepsFilesWithOrWithoutTerminator) {
  Store(REG_SZ, L"0", 4);
  EXPECT_EQ(DeleteFiles(), 0) << "\"0\" with its terminator";
  Store(REG_SZ, L"0", 2);
  EXPECT_EQ(DeleteFiles(), 0) << "\"0\" without its terminator";
}

TEST_F(CleanupSettingTest, AnythingElseDeletes) {
  struct Row {
    DWORD type;
    const void* data;
    DWORD size;
    const char* what;
  };
  const DWORD zero_dword = 0;
  const wchar_t zero_one[2] = {L'0', L'1'};
  Row rows[] = {
      {REG_SZ, L"00", 6, "two zeros"},
      {REG_SZ, zero_one, 4, "0 then 1 without terminator: no room for it"},
      {REG_SZ, L"1", 4, "one"},
      {REG_SZ, L"", 2, "empty"},
      {REG_SZ, L"", 0, "no bytes at all"},
      {REG_DWORD, &zero_dword, 4, "a DWORD 0"},
      {REG_EXPAND_SZ, L"0", 4, "an expandable 0"},
  };
  for (const Row& row : rows) {
    Store(row.type, row.data, row.size);
    EXPECT_EQ(DeleteFiles(), 1) << row.what;
  }
}

TEST_F(CleanupSettingTest, ReadStringValueTerminatesShortData) {
  Store(REG_SZ, L"0", 2);
  wchar_t buffer[2] = {L'x', L'x'};
  ASSERT_TRUE(ReadStringValue(HKEY_CURRENT_USER, L"Software\\Orvane", kValue, buffer, 2));
  EXPECT_EQ(buffer[0], L'0');
  EXPECT_EQ(buffer[1], 0);
  EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, L"Software\\Orvane\\Absent", kValue, buffer, 2));
}

}  // namespace
