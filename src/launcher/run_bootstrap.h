// The one straight sequence of a run: options, work directory, payload, setup,
// clean-up, report.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"

// Runs every stage once, on this thread, and returns the run's outcome.
RunOutcome RunBootstrap(HMODULE module);
