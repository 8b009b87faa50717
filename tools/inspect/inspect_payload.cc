// inspect_payload IMAGE: runs the stub's own payload stage, UnpackPayload,
// on another image's resources and prints the outcome it reaches. The image
// is loaded as data only (nothing of it runs) and the setup program is
// written into a scratch directory that is removed again, so this is the very
// classification, writing and cabinet expansion a real run would do.
//
// Prints key=value lines: outcome, extra, archive_name, archive_type,
// setup_file and setup_bytes. Exits 0 when the stub would go on to start
// setup, 1 when it would end with the printed outcome, 2 on a usage error.
#include <stdio.h>

#include "common/owner.h"
#include "common/win32.h"
#include "payload/unpack_payload.h"

namespace {

struct ModuleTraits {
  using Value = HMODULE;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { FreeLibrary(value); }
};
using UniqueModule = Owner<ModuleTraits>;

// A fresh directory under the temporary folder, with a trailing backslash.
bool CreateScratchDirectory(PathBuffer& directory) {
  wchar_t temp[MAX_PATH + 1];
  // Returns the count without the terminator, ending in a backslash.
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return false;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[64];
    swprintf(name, 64, L"bootpack-inspect-%lu-%u\\", GetCurrentProcessId(), attempt);
    if (!directory.Assign(temp) || !directory.Append(name)) return false;
    if (CreateDirectoryW(directory.Data(), nullptr)) return true;
  }
  return false;
}

// Removes what UnpackPayload may leave (setup's file) and the directory.
void RemoveScratchDirectory(const PathBuffer& directory, const PathBuffer& setup_path) {
  if (setup_path.Length() != 0) DeleteFileW(setup_path.Data());
  PathBuffer pattern;
  pattern.Assign(directory.Data());
  pattern.Append(L"*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.Data(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      PathBuffer path;
      if (path.Assign(directory.Data()) && path.Append(found.cFileName)) DeleteFileW(path.Data());
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(directory.Data());
}

uint64_t FileSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: inspect_payload IMAGE\n");
    return 2;
  }
  // As data and as an image resource: mapped for its resources, never run.
  UniqueModule image(LoadLibraryExW(argv[1], nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!image.is_valid()) {
    DWORD error = GetLastError();
    fwprintf(stderr, L"inspect_payload: cannot load %ls as an image (error %lu)\n", argv[1],
             error);
    return 2;
  }
  PathBuffer work_dir;
  if (!CreateScratchDirectory(work_dir)) {
    fwprintf(stderr, L"inspect_payload: no scratch directory (error %lu)\n", GetLastError());
    return 2;
  }
  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  int32_t max_delete_attempts = 0;
  RunOutcome outcome = UnpackPayload(image.get(), work_dir.Data(), setup_path, archive_name,
                                     archive_type, max_delete_attempts);
  uint64_t setup_bytes = outcome.Succeeded() ? FileSize(setup_path.Data()) : 0;
  const wchar_t* setup_file = FileNameStart(setup_path.Data(), setup_path.Length());
  wprintf(L"outcome=%u\nextra=%u\narchive_name=%ls\narchive_type=%ls\nsetup_file=%ls\n"
          L"setup_bytes=%llu\n",
          outcome.exit_code, outcome.extra_code, archive_name.Data(), archive_type.Data(),
          outcome.Succeeded() ? setup_file : L"", static_cast<unsigned long long>(setup_bytes));
  fflush(stdout);
  RemoveScratchDirectory(work_dir, setup_path);
  return outcome.Succeeded() ? 0 : 1;
}
