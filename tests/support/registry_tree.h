// What a registry subtree holds, read in one pass, so that a test can show
// which keys a run created and which values it changed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/win32.h"

namespace test {

// The paths of the keys below root\subkey, relative to it, sorted: all of
// them, or those of the first levels only when levels is positive. Empty when
// the key cannot be opened. view is KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0.
std::vector<std::wstring> RegistryKeyTree(HKEY root, const std::wstring& subkey, REGSAM view,
                                          int levels = 0);

// The keys of after that before did not have.
std::vector<std::wstring> KeysAdded(const std::vector<std::wstring>& before,
                                    const std::vector<std::wstring>& after);

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;

  bool operator==(const RegistryValue& other) const {
    return type == other.type && data == other.data;
  }
};

// The values of one key by name; empty when the key cannot be opened.
std::map<std::wstring, RegistryValue> RegistryValues(HKEY root, const std::wstring& subkey,
                                                     REGSAM view);

}  // namespace test
