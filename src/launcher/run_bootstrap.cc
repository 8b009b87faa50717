#include "launcher/run_bootstrap.h"

#include "options/launch_options.h"
#include "payload/unpack_payload.h"
#include "reporting/updater_report.h"
#include "setup/launch_setup.h"
#include "text/bounded_buffer.h"
#include "workarea/delete_until_gone.h"
#include "workarea/work_directory.h"

namespace {

// Cuts the program's own path to its directory, trailing backslash kept. A
// path that cannot be had, was cut short or has no directory part ends the run
// before anything exists on disk.
bool GetModuleDirectory(HMODULE module, PathBuffer& directory, RunOutcome& outcome) {
  directory.Clear();
  // Returns the count without the terminator; 0 fails, 260 means cut short.
  DWORD n = GetModuleFileNameW(module, directory.Data(), static_cast<DWORD>(directory.Capacity()));
  if (n == 0 || n >= directory.Capacity()) {
    outcome = RunOutcome(EXIT_PATH_TOO_LONG, GetLastError());
    return false;
  }
  wchar_t* name = FileNameStart(directory.Data(), n);
  if (name == directory.Data()) {
    outcome = RunOutcome(EXIT_PATH_TOO_LONG, 0);
    return false;
  }
  *name = 0;
  return true;
}

// The setup file first, then the directory that holds it.
void DeleteRunFiles(const PathBuffer& setup_path, const PathBuffer& work_dir,
                    int32_t& max_delete_attempts) {
  int32_t attempts = 0;
  if (setup_path.Length() != 0) {
    DeleteUntilGone(setup_path.Data(), attempts);
    RaiseDeleteAttempts(max_delete_attempts, attempts);
  }
  attempts = 0;
  DeleteUntilGone(work_dir.Data(), attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
}

RunOutcome RunWithOptions(LaunchOptions& options, HMODULE module) {
  if (!InitializeLaunchOptions(options)) return RunOutcome(EXIT_BAD_COMMAND_LINE, GetLastError());
  if (options.operation == OPERATION_CLEANUP) return RunOutcome(EXIT_CLEANUP_REQUESTED, 0);

  PathBuffer module_directory;
  PathBuffer work_dir;
  RunOutcome work_dir_outcome(EXIT_OK, 0);
  if (!GetModuleDirectory(module, module_directory, work_dir_outcome)) return work_dir_outcome;
  if (!CreateWorkDirectory(module_directory.Data(), work_dir, work_dir_outcome)) {
    return work_dir_outcome;
  }

  int32_t max_delete_attempts = 0;
  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  RunOutcome outcome = UnpackPayload(module, work_dir.Data(), setup_path, archive_name,
                                     archive_type, max_delete_attempts);
  // Hand back the pages the unpack touched before setup runs for a long time.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));

  bool setup_succeeded = false;
  if (outcome.Succeeded()) {
    outcome = LaunchSetup(options, module, archive_name.Data(), archive_type.Data(),
                          setup_path.Data());
    setup_succeeded = outcome.Succeeded();
  }

  if (options.delete_files) DeleteRunFiles(setup_path, work_dir, max_delete_attempts);

  if (setup_succeeded) {
    ReportRetriesToUpdater(options, max_delete_attempts);
  } else {
    ReportFailureToUpdater(options, outcome);
  }
  return outcome;
}

}  // namespace

RunOutcome RunBootstrap(HMODULE module) {
  LaunchOptions options;
  RunOutcome outcome = RunWithOptions(options, module);
  ReleaseLaunchOptions(options);
  return outcome;
}
