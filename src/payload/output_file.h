// A file created for writing that keeps its path and handle together, so that
// its user can mark it for deletion when writing fails: the file system then
// removes it when the last handle to it closes instead of leaving it half
// written.
#pragma once

#include "common/win32.h"
#include "text/bounded_buffer.h"

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Closes whatever was open (that file stays on disk as written), then
  // creates file_path anew, replacing an existing file. Others may only
  // delete or rename it while it is open. False when the path has 260
  // characters or more (no system call, no error code of its own) or when
  // CreateFileW failed (its error is left for GetLastError).
  bool Open(const wchar_t* file_path);

  // Closes the handle if open; the path is emptied in every case.
  void Close();

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  const PathBuffer& Path() const { return path_; }

  // Asks the file system to delete the file once its last handle closes. The
  // file stays open and writable. False when closed (no system call) or when
  // the request failed.
  bool MarkForDeletion();

  // A second handle with the same access, owned by the caller, for a writer
  // that closes its handles itself. INVALID_HANDLE_VALUE when closed (no
  // system call) or when duplication failed; the object stays open either way.
  HANDLE DuplicateHandleForWriter();

 private:
  PathBuffer path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};
