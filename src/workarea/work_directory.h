// The fresh, randomly named work directory beside the executable.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"
#include "text/bounded_buffer.h"

// Creates "QX_" + five hex digits + ".tmp" in module_directory (which ends in
// a backslash). True: the directory exists and work_dir holds its path with a
// trailing backslash. False: outcome holds 108, 117 or 109, work_dir is empty
// and nothing remains on disk.
bool CreateWorkDirectory(const wchar_t* module_directory, PathBuffer& work_dir,
                         RunOutcome& outcome);
