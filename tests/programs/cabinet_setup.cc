// A setup stand-in for images whose setup is stored as a cabinet. It exits 0
// only when it runs under the name "setup.exe" from a directory that holds
// nothing but itself: the cabinet it was expanded from is already gone.
#include <windows.h>

namespace {

constexpr int kWrongName = 1;
constexpr int kOtherFilesBeside = 2;
constexpr int kNoOwnPath = 3;

}  // namespace

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return kNoOwnPath;
  wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\') --name;
  if (lstrcmpiW(name, L"setup.exe") != 0) return kWrongName;

  lstrcpyW(name, L"*");
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(path, &entry);
  if (find == INVALID_HANDLE_VALUE) return kOtherFilesBeside;
  int others = 0;
  do {
    if (lstrcmpW(entry.cFileName, L".") == 0 || lstrcmpW(entry.cFileName, L"..") == 0) continue;
    if (lstrcmpiW(entry.cFileName, L"setup.exe") != 0) ++others;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return others == 0 ? 0 : kOtherFilesBeside;
}
