#include "payload/unpack_payload.h"

RunOutcome UnpackPayload(HMODULE module, const wchar_t* work_dir, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type,
                         int32_t& max_delete_attempts) {
  // Not built yet: no payload is ever found.
  setup_path.Clear();
  archive_name.Clear();
  archive_type.Clear();
  return RunOutcome(EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND);
}
