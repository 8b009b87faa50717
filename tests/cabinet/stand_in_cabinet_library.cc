// A library named like the cabinet library that lacks FDIDestroy: loading it
// succeeds, resolving its entry points must not.
#include <windows.h>

extern "C" __declspec(dllexport) void* FDICreate() { return nullptr; }
extern "C" __declspec(dllexport) BOOL FDICopy() { return FALSE; }
