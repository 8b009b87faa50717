// winrun PROGRAM [ARGS...]: starts PROGRAM with the rest of this command line
// unchanged, waits for it and prints its full 32-bit exit code, which the
// Linux side of Wine cuts to 8 bits. Exits with that code when it is 0 to
// 255 and with 255 above, so that no failure reads as success on Linux.
#include <windows.h>

#include <stdio.h>

namespace {

// Skips the first argument of a command line the way CreateProcessW reads it.
const wchar_t* SkipFirstArgument(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

}  // namespace

int wmain() {
  const wchar_t* rest = SkipFirstArgument(GetCommandLineW());
  if (*rest == 0) {
    fwprintf(stderr, L"usage: winrun PROGRAM [ARGS...]\n");
    return 2;
  }
  static wchar_t command[32768];
  lstrcpynW(command, rest, 32768);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fwprintf(stderr, L"winrun: CreateProcessW failed with error %lu\n", GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  wprintf(L"exit code: %lu (0x%08lX)\n", code, code);
  fflush(stdout);
  return code <= 255 ? static_cast<int>(code) : 255;
}
