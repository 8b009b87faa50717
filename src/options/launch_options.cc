#include "options/launch_options.h"

#include "common/owner.h"

namespace {

const wchar_t kCleanupKey[] = L"Software\\Orvane";
const wchar_t kCleanupValue[] = L"BriselInstallerCleanup";
const wchar_t kMachineVariable[] = L"OrvaneUpdateIsMachine";

// Only the exact value "1" marks a per-machine run.
bool MachineVariableIsSet() {
  wchar_t value[2] = {0, 0};
  // Returns the characters copied when the value fits, else the size needed.
  DWORD n = GetEnvironmentVariableW(kMachineVariable, value, 2);
  return n == 1 && value[0] == L'1';
}

}  // namespace

LaunchOptions::~LaunchOptions() { ReleaseLaunchOptions(*this); }

void ReleaseLaunchOptions(LaunchOptions& options) {
  if (options.argv != nullptr) LocalFree(options.argv);
  options.argv = nullptr;
  options.app_guid = kDefaultAppGuid;
  options.raw_command_line = nullptr;
  options.argc = 0;
  options.is_system_level = 0;
  options.operation = OPERATION_NORMAL;
  options.delete_files = 1;
}

bool InitializeLaunchOptions(LaunchOptions& options) {
  ReleaseLaunchOptions(options);
  wchar_t cleanup[2] = {0, 0};
  bool ok = ReadStringValue(HKEY_CURRENT_USER, kCleanupKey, kCleanupValue, cleanup, 2);
  options.delete_files = !(ok && cleanup[0] == L'0');
  return ParseCommandLine(options, GetCommandLineW());
}

bool ParseCommandLine(LaunchOptions& options, const wchar_t* command_line) {
  options.raw_command_line = command_line;
  options.argv = CommandLineToArgvW(command_line, &options.argc);
  if (options.argv == nullptr) return false;
  // lstrcmpiW returns 0 when the two texts are equal ignoring case.
  auto equal_ignoring_case = [](const wchar_t* argument, const wchar_t* name) {
    return lstrcmpiW(argument, name) == 0;
  };
  ApplyLaunchSwitches(options.argv, options.argc, equal_ignoring_case, options.app_guid,
                      options.is_system_level, options.operation);
  if (!options.is_system_level) options.is_system_level = MachineVariableIsSet() ? 1 : 0;
  return true;
}

bool ReadStringValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name,
                     wchar_t* buffer, size_t capacity) {
  UniqueRegistryKey key;
  if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(capacity * sizeof(wchar_t));
  // size is in bytes both ways; ERROR_MORE_DATA when the data is larger.
  if (RegQueryValueExW(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ) return false;
  size_t n = size / sizeof(wchar_t);
  if (n == 0) {
    buffer[0] = 0;
    return true;
  }
  if (buffer[n - 1] == 0) return true;
  if (n < capacity) {
    buffer[n] = 0;
    return true;
  }
  return false;
}
