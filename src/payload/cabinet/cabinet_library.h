// The system's cabinet library and the three entry points of its decompression
// interface. Loaded at the first expansion and kept for the life of the
// process; the library is never unloaded.
#pragma once

#include "common/owner.h"
#include "common/win32.h"

#include <fdi.h>

using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE,
                                            PFNCLOSE, PFNSEEK, int, PERF);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT,
                                          void*);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);

struct CabinetEntryPoints {
  FdiCreateFunction fdi_create;
  FdiCopyFunction fdi_copy;
  FdiDestroyFunction fdi_destroy;
  // Once set, never cleared.
  HMODULE cabinet_module;
};

// The process's one record: empty at process start, never reset.
CabinetEntryPoints& CabinetLibrary();

// Loads the library from the system directory unless it is loaded already,
// then resolves the three entry points. False when no candidate path fits or
// loads, or when the loaded library lacks one of the entry points.
bool LoadCabinetEntryPoints();

// An FDI context, destroyed through the loaded library.
struct FdiContextTraits {
  using Value = HFDI;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { CabinetLibrary().fdi_destroy(value); }
};
using UniqueFdiContext = Owner<FdiContextTraits>;
