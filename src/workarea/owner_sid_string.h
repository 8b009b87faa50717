// The text form of the SID that new objects of this process get as owner.
#pragma once

#include "common/win32.h"

// The process token's default owner (TokenOwner, not TokenUser), e.g.
// "S-1-5-21-...". On true, sid_string is to be released with LocalFree by the
// caller; on false it is null and GetLastError() tells why.
bool GetOwnerSidString(wchar_t*& sid_string);
