#include "reporting/updater_report.h"

#include "reporting/client_state_key.h"

namespace {

constexpr REGSAM kQueryAndSet = KEY_QUERY_VALUE | KEY_SET_VALUE;

HKEY ReportRoot(const LaunchOptions& options) {
  return options.is_system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

}  // namespace

void ReportFailureToUpdater(const LaunchOptions& options, RunOutcome outcome) {
  if (outcome.Succeeded()) return;
  RegistryKey key;
  if (OpenClientStateKey(ReportRoot(options), options.app_guid, kQueryAndSet, key) != 0) return;
  // A result recorded by setup or anyone else is theirs to keep.
  DWORD recorded = 0;
  if (ReadDwordValue(key, L"InstallerResult", recorded) == 0 && recorded != 0) return;
  // Each write is made whatever became of the one before.
  WriteDwordValue(key, L"InstallerResult", 1);
  WriteDwordValue(key, L"InstallerError", outcome.exit_code);
  WriteDwordValue(key, L"InstallerExtraCode1", outcome.extra_code);
}

void ReportRetriesToUpdater(const LaunchOptions& options, int32_t max_delete_attempts) {
  RegistryKey key;
  if (OpenClientStateKey(ReportRoot(options), options.app_guid, kQueryAndSet, key) != 0) return;
  // At most 99 (a deletion gives up after 100 tries); the mask keeps the high
  // half 3 whatever the count.
  int32_t retries = (max_delete_attempts >= 2 ? max_delete_attempts : 1) - 1;
  DWORD extra_code = 0x30000u | (static_cast<uint32_t>(retries) & 0xFFFFu);
  WriteDwordValue(key, L"InstallerExtraCode1", extra_code);
}
