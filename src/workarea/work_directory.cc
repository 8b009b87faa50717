#include "workarea/work_directory.h"

bool CreateWorkDirectory(const wchar_t* module_directory, PathBuffer& work_dir,
                         RunOutcome& outcome) {
  // Not built yet: no directory can be made.
  work_dir.Clear();
  outcome = RunOutcome(EXIT_WORK_DIR_NOT_CREATED, 0);
  return false;
}
