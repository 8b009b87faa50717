#include "reporting/client_state_key.h"

#include "text/bounded_buffer.h"

LSTATUS OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access, RegistryKey& key) {
  PathBuffer subkey;
  if (!subkey.Assign(L"Software\\Orvane\\Update\\ClientState\\") || !subkey.Append(app_guid)) {
    return ERROR_BUFFER_OVERFLOW;
  }
  // The updater keeps its keys in the 32-bit view on every system.
  return RegOpenKeyExW(root, subkey.Data(), 0, access | KEY_WOW64_32KEY, key.put());
}

LSTATUS ReadDwordValue(const RegistryKey& key, const wchar_t* value_name, DWORD& value) {
  DWORD type = 0;
  DWORD size = sizeof(value);
  // size is in bytes both ways; ERROR_MORE_DATA when the data is larger.
  LSTATUS result = RegQueryValueExW(key.get(), value_name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(&value), &size);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_DWORD) return ERROR_NOT_SUPPORTED;
  if (size != sizeof(value)) return ERROR_NO_DATA;
  return ERROR_SUCCESS;
}

LSTATUS WriteDwordValue(const RegistryKey& key, const wchar_t* value_name, DWORD value) {
  return RegSetValueExW(key.get(), value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}
