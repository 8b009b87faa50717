// Starts a program as a child process and waits, without a time limit, for
// it to end.
#pragma once

#include "common/win32.h"
#include "common/run_outcome.h"

// {the child's exit code, 0} once it has ended, whatever that code is. When
// CreateProcessW fails: {path_not_found_code, attributes} for
// ERROR_PATH_NOT_FOUND, {file_not_found_code, attributes} for
// ERROR_FILE_NOT_FOUND, where attributes are application_path's after the
// failure (INVALID_FILE_ATTRIBUTES when it is not there), else
// {not_started_code, error}. {EXIT_SETUP_WAIT_FAILED, error} when the wait or
// the exit code query fails. command_line must be writable: CreateProcessW
// may change it in place.
RunOutcome RunAndWait(const wchar_t* application_path, wchar_t* command_line,
                      uint32_t file_not_found_code, uint32_t path_not_found_code,
                      uint32_t not_started_code);
