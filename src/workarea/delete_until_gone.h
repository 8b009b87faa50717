// Removes one file, empty directory, link or junction with counted retries.
#pragma once

#include "common/win32.h"

// True exactly when the entry is gone (or never existed). attempts is set to
// 1 + the number of 100 ms pauses taken, at most 100. A directory is removed
// only once it is empty; a link or junction goes itself, never its target.
bool DeleteUntilGone(const wchar_t* path, int32_t& attempts);

// Raises a run's max_delete_attempts to attempts when that is larger.
inline void RaiseDeleteAttempts(int32_t& max_delete_attempts, int32_t attempts) {
  if (attempts > max_delete_attempts) max_delete_attempts = attempts;
}
