#include "payload/unpack_payload.h"

#include "payload/cabinet/expand_cabinet.h"
#include "payload/payload_scan.h"
#include "payload/visit_resources_of_type.h"
#include "payload/write_blob_to_file.h"
#include "workarea/delete_until_gone.h"

// The scan spells out its Windows error codes; they must be the real ones.
static_assert(kErrorInvalidData == ERROR_INVALID_DATA, "a Windows error code");
static_assert(kErrorTooManyNames == ERROR_TOO_MANY_NAMES, "a Windows error code");
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE, "a Windows error code");

namespace {

// The payload's resource types, in the order they are scanned.
const wchar_t* const kPayloadTypes[] = {L"B7", L"BL", L"BN"};
// The name setup is started under, unless a "B7" setup brings its own.
const wchar_t kSetupFileName[] = L"setup.exe";

// The cabinet at cabinet_path becomes work_dir + "setup.exe"; the cabinet file
// goes whatever the expansion's result. setup_path ends as the expanded path.
RunOutcome ExpandSetupCabinet(const wchar_t* work_dir, PathBuffer& setup_path,
                              int32_t& max_delete_attempts) {
  PathBuffer expanded_path;
  if (!expanded_path.Assign(work_dir) || !expanded_path.Append(kSetupFileName)) {
    return RunOutcome(EXIT_PATH_TOO_LONG, 0);
  }
  bool expanded = ExpandCabinet(setup_path.Data(), expanded_path.Data());
  int32_t attempts = 0;
  DeleteUntilGone(setup_path.Data(), attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
  setup_path.Assign(expanded_path.Data());
  if (!expanded) return RunOutcome(EXIT_SETUP_RESOURCE_FAILED, 0);
  return RunOutcome(EXIT_OK, 0);
}

}  // namespace

RunOutcome UnpackPayload(HMODULE module, const wchar_t* work_dir, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type,
                         int32_t& max_delete_attempts) {
  setup_path.Clear();
  archive_name.Clear();
  archive_type.Clear();
  ResourceTypeBuffer setup_type;
  PathBuffer setup_name;
  ResourceBlob setup_blob = {nullptr, 0};
  uint32_t scan_error = 0;

  PayloadScan scan(archive_name, setup_name, setup_blob, scan_error);
  for (const wchar_t* type : kPayloadTypes) {
    scan_error = 0;
    // An absent type is a walk that finds nothing: the result says no more.
    VisitResourcesOfType(scan, module, type);
    if (scan_error != 0) {
      // A type is recorded only after its scan ended cleanly, so an archive
      // found in the failing type still counts as missing.
      uint32_t exit_code =
          archive_type.IsEmpty() ? EXIT_ARCHIVE_RESOURCE_FAILED : EXIT_SETUP_RESOURCE_FAILED;
      return RunOutcome(exit_code, scan_error);
    }
    if (archive_type.IsEmpty() && !archive_name.IsEmpty()) archive_type.Assign(type);
    if (setup_type.IsEmpty() && setup_blob.size != 0) setup_type.Assign(type);
  }
  if (archive_name.IsEmpty()) return RunOutcome(EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND);
  if (setup_blob.size == 0) return RunOutcome(EXIT_SETUP_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND);

  // "BN" setup is always "setup.exe"; "B7" and "BL" keep their resource name.
  bool is_plain = lstrcmpW(setup_type.Data(), L"BN") == 0;
  if (!setup_path.Assign(work_dir) ||
      !setup_path.Append(is_plain ? kSetupFileName : setup_name.Data())) {
    return RunOutcome(EXIT_PATH_TOO_LONG, 0);
  }
  if (!WriteBlobToFile(setup_blob, setup_path.Data())) {
    return RunOutcome(EXIT_SETUP_WRITE_FAILED, GetLastError());
  }
  if (lstrcmpW(setup_type.Data(), L"BL") != 0) return RunOutcome(EXIT_OK, 0);
  return ExpandSetupCabinet(work_dir, setup_path, max_delete_attempts);
}
