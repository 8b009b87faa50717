#include "support/registry_tree.h"

#include <algorithm>
#include <iterator>

namespace test {
namespace {

// Key names have at most 255 characters; value names at most 16383.
constexpr DWORD kKeyNameRoom = 256;
constexpr DWORD kValueNameRoom = 16384;

void CollectKeys(HKEY key, const std::wstring& prefix, REGSAM view, int levels,
                 std::vector<std::wstring>& paths) {
  wchar_t name[kKeyNameRoom];
  for (DWORD index = 0;; ++index) {
    DWORD length = kKeyNameRoom;
    LSTATUS result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return;
    if (result != ERROR_SUCCESS) continue;
    std::wstring child_name(name, length);
    std::wstring path = prefix + child_name;
    paths.push_back(path);
    if (levels == 1) continue;
    // A link is listed but not followed: what it leads to is listed where it is.
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, child_name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &child) ==
        ERROR_SUCCESS) {
      CollectKeys(child, path + L"\\", view, levels - 1, paths);
      RegCloseKey(child);
    }
  }
}

}  // namespace

std::vector<std::wstring> RegistryKeyTree(HKEY root, const std::wstring& subkey, REGSAM view,
                                          int levels) {
  std::vector<std::wstring> paths;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return paths;
  }
  CollectKeys(key, L"", view, levels, paths);
  RegCloseKey(key);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::wstring> KeysAdded(const std::vector<std::wstring>& before,
                                    const std::vector<std::wstring>& after) {
  std::vector<std::wstring> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  return added;
}

std::map<std::wstring, RegistryValue> RegistryValues(HKEY root, const std::wstring& subkey,
                                                     REGSAM view) {
  std::map<std::wstring, RegistryValue> values;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return values;
  }
  std::wstring name(kValueNameRoom, L'\0');
  for (DWORD index = 0;; ++index) {
    DWORD length = kValueNameRoom;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS result =
        RegEnumValueW(key, index, name.data(), &length, nullptr, &type, nullptr, &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) continue;
    RegistryValue value;
    value.type = type;
    value.data.resize(size);
    DWORD read = size;
    if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value.data.data()), &read) == ERROR_SUCCESS) {
      value.data.resize(read);
    }
    values[name.substr(0, length)] = value;
  }
  RegCloseKey(key);
  return values;
}

}  // namespace test
