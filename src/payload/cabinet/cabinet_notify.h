// FDICopy's notification handler and the state of one expansion that it
// works on: the first file of the cabinet goes to the destination path, and
// nothing else is ever written.
#pragma once

#include "common/win32.h"
#include "payload/output_file.h"

#include <fdi.h>

struct ExpansionContext {
  explicit ExpansionContext(const wchar_t* destination) : destination_path(destination) {}

  // Where the first file goes; not owned.
  const wchar_t* destination_path;
  // Opened at the first fdintCOPY_FILE; FDI writes through a duplicate.
  OutputFile output_file;
  // The size fdintCOPY_FILE announced for the first file.
  uint32_t announced_size = 0;
  // 1 once the first file has been written in full and closed.
  uint8_t succeeded = 0;
};

// The notification's pv member is the ExpansionContext given to FDICopy.
INT_PTR DIAMONDAPI FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification);
