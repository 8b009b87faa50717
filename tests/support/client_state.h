// One of the updater's ClientState keys as a test sees it: made, filled, read
// and removed through the 32-bit view of the registry, as the stub opens it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/test_support.h"

// After <windows.h>: the SDDL conversions.
#include <sddl.h>

namespace test {

inline const std::wstring kClientStatePath = L"Software\\Orvane\\Update\\ClientState\\";

struct ClientStateKey {
  HKEY root;
  std::wstring guid;

  std::wstring Subkey() const { return kClientStatePath + guid; }

  bool Exists(REGSAM view = KEY_WOW64_32KEY) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, Subkey().c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  void Create() const {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, Subkey().c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  void Remove() const { DeleteRegistryTree(root, Subkey(), KEY_WOW64_32KEY); }

  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, Subkey().c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    LSTATUS result = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS);
  }

  void SetDword(const wchar_t* name, DWORD value) const {
    Set(name, REG_DWORD, &value, sizeof(value));
  }

  // The value when it is a REG_DWORD of 4 bytes, else nothing.
  std::optional<DWORD> Dword(const wchar_t* name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, Subkey().c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    DWORD value = 0, type = 0, size = sizeof(value);
    LSTATUS result =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) return std::nullopt;
    return value;
  }

  // How many values the key holds, of any name and type; nothing when it is absent.
  std::optional<DWORD> ValueCount() const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, Subkey().c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    DWORD values = 0;
    LSTATUS result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return std::nullopt;
    return values;
  }

  // Lets everyone read and remove the key but no one set a value in it or
  // make a subkey: an access list the installer cannot write through.
  void DenySettingValues() const {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, Subkey().c_str(), 0, WRITE_DAC | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;;0x6;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    LSTATUS result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS);
    HKEY writable = nullptr;
    LSTATUS opened =
        RegOpenKeyExW(root, Subkey().c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &writable);
    if (writable != nullptr) RegCloseKey(writable);
    ASSERT_EQ(opened, ERROR_ACCESS_DENIED) << "the access list must keep writers out";
  }

  // The key as "HKCU\..." or "HKLM\..." text, for programs told where to write.
  std::wstring ForSetup() const {
    return (root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"HKCU\\") + Subkey();
  }
};

}  // namespace test
