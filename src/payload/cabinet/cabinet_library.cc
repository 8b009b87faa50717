#include "payload/cabinet/cabinet_library.h"

#include "text/bounded_buffer.h"

namespace {

// Zero-initialised in the image: no start-up code needed.
CabinetEntryPoints g_cabinet_library;

// The last one holds no variable but goes through the same expansion.
const wchar_t* const kLibraryCandidates[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};

// GetProcAddress hands back a generic function pointer; the caller knows the
// entry point's real type.
template <typename Function>
Function ResolveEntryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void LoadFirstCandidate(CabinetEntryPoints& library) {
  PathBuffer path;
  FillBytes(path.Data(), 0, (PathBuffer::Capacity() + 1) * sizeof(wchar_t));
  for (const wchar_t* candidate : kLibraryCandidates) {
    path.Data()[0] = 0;
    // Returns the count with the terminator; 0 fails, more than the size
    // means the expanded path did not fit.
    DWORD count = ExpandEnvironmentStringsW(candidate, path.Data(),
                                            static_cast<DWORD>(PathBuffer::Capacity()));
    if (count < 1 || count > PathBuffer::Capacity()) continue;
    // The altered search path looks for the library's own dependencies in
    // its directory first.
    library.cabinet_module =
        LoadLibraryExW(path.Data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library.cabinet_module != nullptr) return;
  }
}

}  // namespace

CabinetEntryPoints& CabinetLibrary() { return g_cabinet_library; }

bool LoadCabinetEntryPoints() {
  CabinetEntryPoints& library = g_cabinet_library;
  if (library.cabinet_module == nullptr) LoadFirstCandidate(library);
  if (library.cabinet_module == nullptr) return false;

  library.fdi_create = ResolveEntryPoint<FdiCreateFunction>(library.cabinet_module, "FDICreate");
  library.fdi_destroy =
      ResolveEntryPoint<FdiDestroyFunction>(library.cabinet_module, "FDIDestroy");
  library.fdi_copy = ResolveEntryPoint<FdiCopyFunction>(library.cabinet_module, "FDICopy");
  return library.fdi_create != nullptr && library.fdi_destroy != nullptr &&
         library.fdi_copy != nullptr;
}
