// Composes setup's command line, starts setup and waits for it to end.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"
#include "options/launch_options.h"

// {setup's exit code, 0} when setup ran to completion; otherwise 105, 107,
// 122, 123 or 124. Blocks until setup has ended.
RunOutcome LaunchSetup(const LaunchOptions& options, HMODULE module, const wchar_t* archive_name,
                       const wchar_t* archive_type, const wchar_t* setup_path);
