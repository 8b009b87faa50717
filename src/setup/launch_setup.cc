#include "setup/launch_setup.h"

RunOutcome LaunchSetup(const LaunchOptions& options, HMODULE module, const wchar_t* archive_name,
                       const wchar_t* archive_type, const wchar_t* setup_path) {
  // Not built yet: setup is never started.
  return RunOutcome(EXIT_SETUP_NOT_STARTED, ERROR_CALL_NOT_IMPLEMENTED);
}
