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
  // The first file's stored DOS date, time and attributes, kept at its close
  // and applied only once the expansion as a whole has succeeded: a read-only
  // file could no longer be marked for deletion.
  uint16_t stored_date = 0;
  uint16_t stored_time = 0;
  uint16_t stored_attributes = 0;
};

// Gives the file the stored date and time as its creation time, read as
// local time, and the stored read-only, hidden, system and archive bits. A
// failure goes unnoticed: the file's bytes are what counts.
void ApplyStoredTimeAndAttributes(HANDLE file, const ExpansionContext& context);

// The notification's pv member is the ExpansionContext given to FDICopy.
INT_PTR DIAMONDAPI FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification);
