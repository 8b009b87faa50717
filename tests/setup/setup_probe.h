// What tests tell the test setup program (tests/programs/test_setup.cc) through
// the environment, and what it recorded about how it was started.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace test {

constexpr wchar_t kSetupRecord[] = L"BOOTPACK_TEST_SETUP_RECORD";
constexpr wchar_t kSetupExitCode[] = L"BOOTPACK_TEST_SETUP_EXIT_CODE";
constexpr wchar_t kSetupResultKey[] = L"BOOTPACK_TEST_SETUP_RESULT_KEY";
constexpr wchar_t kSetupResult[] = L"BOOTPACK_TEST_SETUP_RESULT";
constexpr wchar_t kSetupLeaveFile[] = L"BOOTPACK_TEST_SETUP_LEAVE_FILE";
constexpr wchar_t kSetupHoldMs[] = L"BOOTPACK_TEST_SETUP_HOLD_MS";
constexpr wchar_t kSetupHolder[] = L"BOOTPACK_TEST_SETUP_HOLDER";
constexpr wchar_t kSetupArrived[] = L"BOOTPACK_TEST_SETUP_ARRIVED";
constexpr wchar_t kSetupGate[] = L"BOOTPACK_TEST_SETUP_GATE";

inline std::wstring TestSetupPath() { return BinDirectory() + L"test_setup.exe"; }

struct SetupRecord {
  bool found = false;
  std::wstring command_line;
  std::wstring current_directory;
  std::wstring module_path;
};

// The record the program wrote, or found == false when it never ran.
inline SetupRecord ReadSetupRecord(const std::wstring& path) {
  SetupRecord record;
  if (!FileExists(path)) return record;
  record.found = true;
  std::wstring text = Widen(ReadFileBytes(path));
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(at, end - at);
    size_t equals = line.find(L'=');
    std::wstring name = line.substr(0, equals);
    std::wstring value = equals == std::wstring::npos ? L"" : line.substr(equals + 1);
    if (name == L"command_line") record.command_line = value;
    if (name == L"current_directory") record.current_directory = value;
    if (name == L"module_path") record.module_path = value;
    at = end + 1;
  }
  return record;
}

using Variables = std::vector<std::pair<std::wstring, std::wstring>>;

// This process's environment with the given variables set or replaced, as
// RunProcess takes it.
inline std::vector<std::wstring> EnvironmentWith(const Variables& variables) {
  std::vector<std::wstring> block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != 0; entry += lstrlenW(entry) + 1) {
    std::wstring text = entry;
    bool replaced = false;
    for (const auto& variable : variables) {
      replaced = replaced || (text.size() > variable.first.size() &&
                              text[variable.first.size()] == L'=' &&
                              lstrcmpiW(text.substr(0, variable.first.size()).c_str(),
                                        variable.first.c_str()) == 0);
    }
    if (!replaced) block.push_back(text);
  }
  FreeEnvironmentStringsW(strings);
  for (const auto& variable : variables) block.push_back(variable.first + L"=" + variable.second);
  return block;
}

// Sets the variables in this process, for setups started from here.
inline void SetVariables(const Variables& variables) {
  for (const auto& variable : variables) {
    SetEnvironmentVariableW(variable.first.c_str(), variable.second.c_str());
  }
}

}  // namespace test
