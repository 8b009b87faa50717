// The run configuration: the cleanup setting, the command line switches and the
// updater's per-machine variable, read once at the start of a run.
#pragma once

#include "common/win32.h"
#include "options/launch_switches.h"

struct LaunchOptions {
  wchar_t** argv = nullptr;                   // owned; released with LocalFree
  const wchar_t* app_guid = kDefaultAppGuid;  // one of the four constants
  const wchar_t* raw_command_line = nullptr;  // owned by the process
  int32_t argc = 0;
  uint8_t is_system_level = 0;
  uint8_t operation = OPERATION_NORMAL;
  uint8_t delete_files = 1;

  LaunchOptions() = default;
  LaunchOptions(const LaunchOptions&) = delete;
  LaunchOptions& operator=(const LaunchOptions&) = delete;
  ~LaunchOptions();
};

// Back to defaults, then the cleanup setting, then the command line. False
// only when the command line could not be split; GetLastError() tells why.
bool InitializeLaunchOptions(LaunchOptions& options);

// Applies the switches of command_line and the updater's variable.
bool ParseCommandLine(LaunchOptions& options, const wchar_t* command_line);

// Frees the argument vector and puts every field back to its default.
void ReleaseLaunchOptions(LaunchOptions& options);

// Reads a short REG_SZ value into buffer (capacity characters), terminated.
bool ReadStringValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name,
                     wchar_t* buffer, size_t capacity);
