// The protected access list of the work directory: administrators, the system
// and the process's default owner, nothing inherited from the parent.
#pragma once

#include "common/win32.h"

// descriptor receives a descriptor to release with LocalFree, or null when
// the volume of location keeps no access lists (or cannot be asked). False
// only when one was needed and could not be built; GetLastError() tells why.
bool BuildWorkDirectoryDescriptor(const wchar_t* location, PSECURITY_DESCRIPTOR& descriptor);
