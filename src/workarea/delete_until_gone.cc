#include "workarea/delete_until_gone.h"

bool DeleteUntilGone(const wchar_t* path, int32_t& attempts) {
  // Not built yet: nothing is removed.
  attempts = 1;
  return false;
}
