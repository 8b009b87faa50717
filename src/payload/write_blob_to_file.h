// Writes bytes that lie in memory into a new file.
#pragma once

#include "common/win32.h"
#include "payload/resource_blob.h"

// Creates file_path (replacing an existing file) and writes the blob into it
// in requests of at most 8 MiB, straight from the blob's memory. True: the
// file holds exactly the blob and is closed. False: GetLastError() gives
// CreateFileW's or WriteFile's error; a file whose writing failed is already
// gone when this returns (or goes when its last other handle closes).
bool WriteBlobToFile(const ResourceBlob& blob, const wchar_t* file_path);
