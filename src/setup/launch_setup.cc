#include "setup/launch_setup.h"

#include "setup/run_and_wait.h"
#include "setup/user_arguments.h"
#include "text/bounded_buffer.h"

namespace {

// The quoted setup path and the three switches that tell setup where the
// archive lives: this program's own path, the archive's resource name and type.
bool ComposeFixedPart(CommandBuffer& command, const wchar_t* setup_path, const wchar_t* own_path,
                      const wchar_t* archive_name, const wchar_t* archive_type) {
  const wchar_t* const pieces[] = {
      L"\"", setup_path, L"\"",
      L" --", L"bootpack-path", L"=\"", own_path,
      L"\" --", L"archive-resource-name", L"=\"", archive_name,
      L"\" --", L"archive-resource-type", L"=\"", archive_type,
      L"\"",
  };
  if (!command.Assign(pieces[0])) return false;
  for (size_t i = 1; i < sizeof(pieces) / sizeof(pieces[0]); ++i) {
    if (!command.Append(pieces[i])) return false;
  }
  return true;
}

}  // namespace

RunOutcome LaunchSetup(const LaunchOptions& options, HMODULE module, const wchar_t* archive_name,
                       const wchar_t* archive_type, const wchar_t* setup_path) {
  PathBuffer own_path;
  // Returns the count without the terminator; 0 fails, 260 means cut short.
  DWORD n = GetModuleFileNameW(module, own_path.Data(), static_cast<DWORD>(own_path.Capacity()));
  if (n == 0 || n >= own_path.Capacity()) return RunOutcome(EXIT_SETUP_COMMAND_FAILED, 0);

  PathBuffer application_path;
  if (!application_path.Assign(setup_path)) return RunOutcome(EXIT_SETUP_COMMAND_FAILED, 0);

  CommandBuffer command;
  if (!ComposeFixedPart(command, setup_path, own_path.Data(), archive_name, archive_type)) {
    return RunOutcome(EXIT_SETUP_COMMAND_FAILED, 0);
  }
  // Arguments that do not fit are never dropped: setup would run an
  // installation other than the one the user asked for.
  if (!AppendUserArguments(command, options.raw_command_line)) {
    return RunOutcome(EXIT_SETUP_COMMAND_FAILED, 0);
  }
  return RunAndWait(application_path.Data(), command.Data(), EXIT_SETUP_NOT_FOUND,
                    EXIT_SETUP_PATH_NOT_FOUND, EXIT_SETUP_NOT_STARTED);
}
