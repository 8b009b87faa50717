// The switches an installer acts on itself, the channel GUIDs they choose, and
// how a command line's arguments set them.
//
// Pure code: no Windows header, so that the host build compiles this very
// source for the fuzzers (tests/fuzz). Whether an argument is a switch is the
// caller's comparison: the installer passes lstrcmpiW, whose idea of "equal
// ignoring case" is the system's and goes beyond ASCII (it passes over a soft
// hyphen, for one), so it is not redone here.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t OPERATION_NORMAL = 0;
constexpr uint8_t OPERATION_CLEANUP = 1;

// The application GUIDs of the four channels, stored exactly as the updater
// names its ClientState keys.
extern const wchar_t kDefaultAppGuid[];
extern const wchar_t kBetaAppGuid[];
extern const wchar_t kDevAppGuid[];
extern const wchar_t kSxsAppGuid[];

enum LaunchSwitch : uint8_t {
  SWITCH_SYSTEM_LEVEL,
  SWITCH_BRISEL_BETA,
  SWITCH_BRISEL_DEV,
  SWITCH_BRISEL_SXS,
  SWITCH_CLEANUP,
};

struct LaunchSwitchName {
  const wchar_t* text;
  LaunchSwitch meaning;
};

// Every switch, in the order an argument is tried against them.
extern const LaunchSwitchName kLaunchSwitchNames[6];

// Applies the switches among argv[1] .. argv[argc - 1]; argv[0], the program's
// own path, is never looked at. Each argument is tried against the names in
// order and the first one that equal(argument, name) accepts is applied; other
// arguments are passed over. A channel switch sets app_guid, so the last one
// wins; the others only ever set their field.
template <typename Equal>
void ApplyLaunchSwitches(const wchar_t* const* argv, int32_t argc, Equal equal,
                         const wchar_t*& app_guid, uint8_t& is_system_level, uint8_t& operation) {
  for (int32_t i = 1; i < argc; ++i) {
    for (const LaunchSwitchName& name : kLaunchSwitchNames) {
      if (!equal(argv[i], name.text)) continue;
      switch (name.meaning) {
        case SWITCH_SYSTEM_LEVEL:
          is_system_level = 1;
          break;
        case SWITCH_BRISEL_BETA:
          app_guid = kBetaAppGuid;
          break;
        case SWITCH_BRISEL_DEV:
          app_guid = kDevAppGuid;
          break;
        case SWITCH_BRISEL_SXS:
          app_guid = kSxsAppGuid;
          break;
        case SWITCH_CLEANUP:
          operation = OPERATION_CLEANUP;
          break;
      }
      break;
    }
  }
}
