#include "workarea/owner_sid_string.h"

#include <sddl.h>

#include "common/owner.h"

bool GetOwnerSidString(wchar_t*& sid_string) {
  sid_string = nullptr;
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;

  // The probe only reports the size the owner record needs.
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
  DWORD probe_error = GetLastError();
  if (size == 0 || probe_error != ERROR_INSUFFICIENT_BUFFER) return false;

  UniqueLocalMemory owner(LocalAlloc(LMEM_ZEROINIT, size));
  if (!owner.is_valid()) return false;
  if (!GetTokenInformation(token.get(), TokenOwner, owner.get(), size, &size)) return false;
  return ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(owner.get())->Owner, &sid_string) != 0;
}
