#include "options/launch_switches.h"

const wchar_t kDefaultAppGuid[] = L"{3D58B1A2-7C40-4e1b-A9D3-58E2F06B7C41}";
const wchar_t kBetaAppGuid[] = L"{6F2A90C3-1B85-4D7E-8C14-D3A7B52E0196}";
const wchar_t kDevAppGuid[] = L"{A7D41E08-95C2-4B3F-9E60-2C8F17D4B5A3}";
const wchar_t kSxsAppGuid[] = L"{c93b27e4-0d6f-4a58-b1e9-6e25f8a031d7}";

const LaunchSwitchName kLaunchSwitchNames[6] = {
    {L"--system-level", SWITCH_SYSTEM_LEVEL}, {L"--brisel-beta", SWITCH_BRISEL_BETA},
    {L"--brisel-dev", SWITCH_BRISEL_DEV},     {L"--brisel-sxs", SWITCH_BRISEL_SXS},
    {L"--cleanup", SWITCH_CLEANUP},           {L"--corlith", SWITCH_CLEANUP},
};
