#include "setup/run_and_wait.h"

#include "common/owner.h"

static_assert(sizeof(STARTUPINFOW) == 104, "the 64-bit STARTUPINFOW");

RunOutcome RunAndWait(const wchar_t* application_path, wchar_t* command_line,
                      uint32_t file_not_found_code, uint32_t path_not_found_code,
                      uint32_t not_started_code) {
  // All zero but cb: default window state and standard handles.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  // Nothing inherited; our environment and current directory; no console.
  if (!CreateProcessW(application_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &started)) {
    DWORD error = GetLastError();
    // Only a detail: it tells whether the file was there after all.
    DWORD attributes = GetFileAttributesW(application_path);
    if (error == ERROR_PATH_NOT_FOUND) return RunOutcome(path_not_found_code, attributes);
    if (error == ERROR_FILE_NOT_FOUND) return RunOutcome(file_not_found_code, attributes);
    return RunOutcome(not_started_code, error);
  }
  UniqueHandle process(started.hProcess);
  // The thread handle is never used.
  CloseHandle(started.hThread);

  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
    return RunOutcome(EXIT_SETUP_WAIT_FAILED, GetLastError());
  }
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(process.get(), &exit_code)) {
    return RunOutcome(EXIT_SETUP_WAIT_FAILED, GetLastError());
  }
  return RunOutcome(exit_code, 0);
}
