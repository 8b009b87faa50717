// Sorts the payload resources into the product archive and the setup program
// by the beginning of their names, across all the types scanned.
//
// Pure code: no Windows header, so that the host build compiles this very
// source for the fuzzers (tests/fuzz).
#pragma once

#include <stdint.h>

#include "payload/resource_blob.h"
#include "payload/resource_visitor.h"
#include "text/bounded_buffer.h"

// The Windows error codes a scan ends with, spelled out here; unpack_payload.cc
// holds them against winerror.h.
constexpr uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA
constexpr uint32_t kErrorTooManyNames = 68;         // ERROR_TOO_MANY_NAMES
constexpr uint32_t kErrorFilenameExcedRange = 206;  // ERROR_FILENAME_EXCED_RANGE

// Owns nothing: every field refers to a result kept by its creator, which
// outlives the scan of all three types.
class PayloadScan final : public ResourceVisitor {
 public:
  PayloadScan(PathBuffer& archive_name, PathBuffer& setup_name, ResourceBlob& setup_blob,
              uint32_t& scan_error)
      : archive_name(archive_name),
        setup_name(setup_name),
        setup_blob(setup_blob),
        scan_error(scan_error) {}

  // "brisel…" is the archive, "setup…" the setup program, ignoring ASCII case;
  // anything else ends the scan with ERROR_INVALID_DATA, a second of either
  // with ERROR_TOO_MANY_NAMES, a name of 260 characters or more with
  // ERROR_FILENAME_EXCED_RANGE.
  bool OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) override;

 private:
  // Empty until the archive is found.
  PathBuffer& archive_name;
  PathBuffer& setup_name;
  // A size of 0 means no setup program found yet.
  ResourceBlob& setup_blob;
  // 0, or the error that ended the scan of the current type.
  uint32_t& scan_error;
};
