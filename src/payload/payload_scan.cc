#include "payload/payload_scan.h"

bool PayloadScan::OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) {
  if (StartsWithIgnoringCase(name, L"brisel")) {
    if (!archive_name.IsEmpty()) {
      scan_error = ERROR_TOO_MANY_NAMES;
      return false;
    }
    // Only the name is kept: the archive's bytes are setup's to read.
    if (archive_name.Assign(name)) return true;
    scan_error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (StartsWithIgnoringCase(name, L"setup")) {
    if (setup_blob.size != 0) {
      scan_error = ERROR_TOO_MANY_NAMES;
      return false;
    }
    if (!setup_name.Assign(name)) {
      scan_error = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    setup_blob = blob;
    return true;
  }
  scan_error = ERROR_INVALID_DATA;
  return false;
}
