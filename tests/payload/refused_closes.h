// A CloseHandle refused at the import table: the handle stays open and is
// kept here, so that the test can still close it for real afterwards.
#pragma once

#include <vector>

#include "common/win32.h"

namespace payload_test {

inline std::vector<HANDLE> g_refused_closes;

inline BOOL WINAPI RefusingCloseHandle(HANDLE handle) {
  g_refused_closes.push_back(handle);
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // namespace payload_test
