#include "reporting/updater_report.h"

// Not built yet: nothing is written.
void ReportFailureToUpdater(const LaunchOptions& options, RunOutcome outcome) {}

void ReportRetriesToUpdater(const LaunchOptions& options, int32_t max_delete_attempts) {}
