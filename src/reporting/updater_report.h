// Leaves the run's result for the product's updater in its ClientState key.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"
#include "options/launch_options.h"

// After a failure: InstallerResult 1, InstallerError and InstallerExtraCode1,
// unless a result is already recorded. Never changes the outcome.
void ReportFailureToUpdater(const LaunchOptions& options, RunOutcome outcome);

// After a success: InstallerExtraCode1 = 0x30000 | retries of the deletions.
void ReportRetriesToUpdater(const LaunchOptions& options, int32_t max_delete_attempts);
