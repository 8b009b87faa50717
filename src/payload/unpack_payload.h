// Finds the archive and the setup program among the image's own resources and
// writes the setup program into the work directory.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"
#include "text/bounded_buffer.h"

// On {0, 0}: setup_path names the file to start, archive_name and archive_type
// name the archive resource. On any outcome max_delete_attempts has been raised
// to the count of every deletion made here, and the only file left in the work
// directory is the one setup_path names (setup_path may be empty).
RunOutcome UnpackPayload(HMODULE module, const wchar_t* work_dir, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type,
                         int32_t& max_delete_attempts);
