#include "payload/write_blob_to_file.h"

#include "payload/output_file.h"

namespace {

// The largest request handed to WriteFile, whatever the blob's size.
constexpr uint64_t kWriteChunk = 0x800000;

}  // namespace

bool WriteBlobToFile(const ResourceBlob& blob, const wchar_t* file_path) {
  OutputFile file;
  if (!file.Open(file_path)) return false;

  const uint8_t* bytes = static_cast<const uint8_t*>(blob.data);
  for (uint64_t offset = 0; offset < blob.size;) {
    uint64_t left = blob.size - offset;
    DWORD chunk = static_cast<DWORD>(left < kWriteChunk ? left : kWriteChunk);
    DWORD written = 0;
    // A successful call counts as the whole chunk; the written count is not read.
    if (!WriteFile(file.Handle(), bytes + offset, chunk, &written, nullptr)) {
      DWORD error = GetLastError();
      file.MarkForDeletion();
      file.Close();
      SetLastError(error);
      return false;
    }
    offset += chunk;
  }
  file.Close();
  return true;
}
