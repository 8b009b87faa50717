#include "workarea/delete_until_gone.h"

#include "common/owner.h"

namespace {

constexpr int32_t kMaxAttempts = 100;
constexpr DWORD kPauseMilliseconds = 100;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The entry itself, never a link's target; directories open like files.
constexpr DWORD kOpenAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

UniqueFile OpenEntry(const wchar_t* path, DWORD access) {
  return UniqueFile(
      CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING, kOpenAsItself, nullptr));
}

// Marks the entry for deletion; it goes when the last handle to it closes.
// Returns 0 when marked, else the error that stopped it.
DWORD MarkForDeletion(const wchar_t* path) {
  UniqueFile entry = OpenEntry(path, DELETE);
  if (!entry.is_valid()) return GetLastError();
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                 sizeof(disposition))) {
    return 0;
  }
  return GetLastError();
}

// Takes FILE_ATTRIBUTE_READONLY off the entry, every other field as read.
// False when it could not be read, was not read-only or the write failed.
bool ClearReadOnly(const wchar_t* path) {
  UniqueFile entry = OpenEntry(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (!entry.is_valid()) return false;
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return false;
  }
  if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return false;
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  // 0 would mean "leave the attributes unchanged": the entry would stay read-only.
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return false;
  }
  return true;
}

}  // namespace

bool DeleteUntilGone(const wchar_t* path, int32_t& attempts) {
  attempts = 1;
  // Each counted try allows one uncounted re-open after a mark and one after
  // clearing read-only; a second of either in the same try means the platform
  // did not do what it said, and it is counted, so no path repeats for ever.
  bool marked_this_try = false;
  bool cleared_this_try = false;
  for (;;) {
    DWORD error = MarkForDeletion(path);
    bool retry_at_once = false;
    if (error == 0) {
      retry_at_once = !marked_this_try;
      marked_this_try = true;
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return true;
    } else if (error == ERROR_ACCESS_DENIED) {
      retry_at_once = !cleared_this_try && ClearReadOnly(path);
      cleared_this_try = true;
    } else if (error != ERROR_SHARING_VIOLATION && error != ERROR_DIR_NOT_EMPTY) {
      return false;
    }
    if (retry_at_once) continue;
    if (attempts == kMaxAttempts) return false;
    ++attempts;
    marked_this_try = false;
    cleared_this_try = false;
    Sleep(kPauseMilliseconds);
  }
}
