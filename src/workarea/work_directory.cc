#include "workarea/work_directory.h"

#include "common/owner.h"
#include "workarea/work_directory_descriptor.h"
#include "workarea/work_directory_name.h"

namespace {

constexpr int kCreateAttempts = 10;
// After "QX_": five digits, ".tmp", "\" and the terminator.
constexpr size_t kNameRoom = 11;

// The module directory and "QX_", when the rest of the name fits after them.
bool ComposeNamePrefix(const wchar_t* module_directory, PathBuffer& work_dir) {
  if (!work_dir.Assign(module_directory)) return false;
  if (!work_dir.Append(L"QX_")) return false;
  return work_dir.Capacity() - work_dir.Length() >= kNameRoom;
}

}  // namespace

bool CreateWorkDirectory(const wchar_t* module_directory, PathBuffer& work_dir,
                         RunOutcome& outcome) {
  outcome = RunOutcome(EXIT_PATH_TOO_LONG, 0);
  if (!ComposeNamePrefix(module_directory, work_dir)) {
    work_dir.Clear();
    return false;
  }
  size_t name_at = work_dir.Length();

  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  if (!BuildWorkDirectoryDescriptor(module_directory, attributes.lpSecurityDescriptor)) {
    DWORD error = GetLastError();
    outcome = RunOutcome(EXIT_WORK_DIR_ACL_FAILED, error);
    work_dir.Clear();
    return false;
  }
  UniqueLocalMemory descriptor(attributes.lpSecurityDescriptor);
  // Without a descriptor the directory takes its parent's default security.
  SECURITY_ATTRIBUTES* security = descriptor.is_valid() ? &attributes : nullptr;

  // A name that is taken, or any other refusal, costs one attempt; no pauses.
  uint32_t fallback_seed = FallbackNameSeed();
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    WriteRandomName(work_dir, name_at, fallback_seed, static_cast<uint32_t>(attempt));
    if (CreateDirectoryW(work_dir.Data(), security)) {
      work_dir.Append(L"\\");
      outcome = RunOutcome(EXIT_OK, 0);
      return true;
    }
  }
  outcome = RunOutcome(EXIT_WORK_DIR_NOT_CREATED, 0);
  work_dir.Clear();
  return false;
}
