#include "workarea/work_directory_descriptor.h"

#include <sddl.h>

#include "common/owner.h"
#include "text/bounded_buffer.h"
#include "workarea/owner_sid_string.h"

namespace {

// Protected and auto-inherited; full access for administrators, the system
// and the owner on the directory, generic all for them and each entry's
// creator on what is made inside. The owner's SID and ")" follow.
constexpr wchar_t kAccessListHead[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

bool VolumeKeepsAccessLists(const wchar_t* location) {
  PathBuffer volume;
  // Size in characters, terminator included.
  if (!GetVolumePathNameW(location, volume.Data(), static_cast<DWORD>(volume.Capacity()))) {
    return false;
  }
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume.Data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return false;
  }
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

bool BuildWorkDirectoryDescriptor(const wchar_t* location, PSECURITY_DESCRIPTOR& descriptor) {
  descriptor = nullptr;
  if (!VolumeKeepsAccessLists(location)) return true;

  wchar_t* sid_text = nullptr;
  if (!GetOwnerSidString(sid_text)) return false;
  UniqueLocalMemory sid(sid_text);

  // At most 299 characters: the owner's SID may take 206 of them.
  BoundedBuffer<300> sddl;
  if (!sddl.Append(kAccessListHead) || !sddl.Append(sid_text) || !sddl.Append(L")")) {
    return false;
  }
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.Data(), SDDL_REVISION_1,
                                                              &descriptor, nullptr) != 0;
}
