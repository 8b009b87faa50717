// The updater's ClientState key of one application and its REG_DWORD values.
// Every operation returns a Windows error code, 0 for success.
#pragma once

#include "common/win32.h"
#include "reporting/registry_key.h"

// Opens "Software\Orvane\Update\ClientState\" + app_guid under root, in the
// 32-bit view of the registry, with access. Never creates the key:
// ERROR_FILE_NOT_FOUND when it is absent. ERROR_BUFFER_OVERFLOW, with the
// holder untouched, when the subkey does not fit a PathBuffer.
LSTATUS OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access, RegistryKey& key);

// 0 with value set when value_name is a REG_DWORD of exactly 4 bytes; else
// the query's error, ERROR_NOT_SUPPORTED for another type or ERROR_NO_DATA
// for another size.
LSTATUS ReadDwordValue(const RegistryKey& key, const wchar_t* value_name, DWORD& value);

// Creates or replaces value_name as a REG_DWORD, whatever its earlier type.
LSTATUS WriteDwordValue(const RegistryKey& key, const wchar_t* value_name, DWORD value);
