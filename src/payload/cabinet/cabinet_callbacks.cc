#include "payload/cabinet/cabinet_callbacks.h"

#include "common/owner.h"

namespace {

HANDLE AsHandle(INT_PTR handle) { return reinterpret_cast<HANDLE>(handle); }

// The C runtime's open flags, as FDI passes them.
constexpr int kOpenWriteOnly = 0x1;
constexpr int kOpenReadWrite = 0x2;
constexpr int kOpenCreate = 0x100;

DWORD AccessForOpenFlags(int oflag) {
  if (oflag & kOpenReadWrite) return GENERIC_READ | GENERIC_WRITE;
  if (oflag & kOpenWriteOnly) return GENERIC_WRITE;
  return GENERIC_READ;
}

}  // namespace

void* DIAMONDAPI FdiAlloc(ULONG size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void DIAMONDAPI FdiFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

INT_PTR DIAMONDAPI FdiOpen(char* name, int oflag, int pmode) {
  // The path was handed to FDICopy as UTF-8 and comes back joined, so a path
  // outside any ANSI code page survives. The count includes the terminator.
  int count = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (count == 0) return reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE);
  UniqueHeapMemory wide_name(HeapAlloc(GetProcessHeap(), 0, count * sizeof(wchar_t)));
  if (!wide_name.is_valid()) return reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE);
  wchar_t* wide = static_cast<wchar_t*>(wide_name.get());
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, count) == 0) {
    return reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE);
  }
  DWORD disposition = (oflag & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
  HANDLE file = CreateFileW(wide, AccessForOpenFlags(oflag), FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return reinterpret_cast<INT_PTR>(file);
}

UINT DIAMONDAPI FdiRead(INT_PTR handle, void* buffer, UINT count) {
  DWORD read = 0;
  if (!ReadFile(AsHandle(handle), buffer, count, &read, nullptr)) return static_cast<UINT>(-1);
  return read;
}

UINT DIAMONDAPI FdiWrite(INT_PTR handle, void* buffer, UINT count) {
  DWORD written = 0;
  if (!WriteFile(AsHandle(handle), buffer, count, &written, nullptr)) return static_cast<UINT>(-1);
  return written;
}

int DIAMONDAPI FdiClose(INT_PTR handle) { return CloseHandle(AsHandle(handle)) ? 0 : -1; }

LONG DIAMONDAPI FdiSeek(INT_PTR handle, LONG distance, int seek_type) {
  // FDI's seek types 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and FILE_END.
  return static_cast<LONG>(SetFilePointer(AsHandle(handle), distance, nullptr, seek_type));
}
