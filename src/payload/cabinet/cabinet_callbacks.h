// The memory and file callbacks that the cabinet library calls from within
// FDICopy, handed to FDICreate in this order. Memory comes from the process
// heap; files are plain Win32 handles carried in FDI's INT_PTR.
#pragma once

#include "common/win32.h"

#include <fdi.h>

void* DIAMONDAPI FdiAlloc(ULONG size);
void DIAMONDAPI FdiFree(void* block);
// Opens the cabinet file; its path arrives as UTF-8.
INT_PTR DIAMONDAPI FdiOpen(char* name, int oflag, int pmode);
// The byte count, or 0xFFFFFFFF when the call failed.
UINT DIAMONDAPI FdiRead(INT_PTR handle, void* buffer, UINT count);
UINT DIAMONDAPI FdiWrite(INT_PTR handle, void* buffer, UINT count);
// 0, or -1 when the handle could not be closed.
int DIAMONDAPI FdiClose(INT_PTR handle);
// The new position, or INVALID_SET_FILE_POINTER.
LONG DIAMONDAPI FdiSeek(INT_PTR handle, LONG distance, int seek_type);
