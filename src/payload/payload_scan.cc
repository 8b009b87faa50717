#include "payload/payload_scan.h"

bool PayloadScan::OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) {
  if (StartsWithIgnoringCase(name, L"brisel")) {
    if (!archive_name.IsEmpty()) {
      scan_error = kErrorTooManyNames;
      return false;
    }
    // Only the name is kept: the archive's bytes are setup's to read.
    if (archive_name.Assign(name)) return true;
    scan_error = kErrorFilenameExcedRange;
    return false;
  }
  if (StartsWithIgnoringCase(name, L"setup")) {
    if (setup_blob.size != 0) {
      scan_error = kErrorTooManyNames;
      return false;
    }
    if (!setup_name.Assign(name)) {
      scan_error = kErrorFilenameExcedRange;
      return false;
    }
    setup_blob = blob;
    return true;
  }
  scan_error = kErrorInvalidData;
  return false;
}
