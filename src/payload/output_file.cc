#include "payload/output_file.h"

bool OutputFile::Open(const wchar_t* file_path) {
  Close();
  if (!path_.Assign(file_path)) return false;
  // DELETE access is what lets MarkForDeletion work later; sharing only
  // delete keeps readers and writers out while the file is being written.
  handle_ = CreateFileW(path_.Data(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                        CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ != INVALID_HANDLE_VALUE) return true;
  path_.Clear();
  return false;
}

void OutputFile::Close() {
  path_.Clear();
  if (handle_ == INVALID_HANDLE_VALUE) return;
  HANDLE old = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  CloseHandle(old);
}

bool OutputFile::MarkForDeletion() {
  if (!IsOpen()) return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  // The structure is one BOOLEAN: a buffer size of 1 byte.
  return SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, 1) != FALSE;
}

HANDLE OutputFile::DuplicateHandleForWriter() {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}
