// Expands the first file of a cabinet with the system's cabinet library.
#pragma once

#include "common/win32.h"

// True: destination holds the cabinet's first file, flushed and closed.
// False: the expansion failed and nothing is left at destination. The source
// is neither changed nor deleted.
bool ExpandCabinet(const wchar_t* source_path, const wchar_t* destination_path);
