#include "payload/visit_resources_of_type.h"

namespace {

BOOL CALLBACK VisitOneResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
  if (IS_INTRESOURCE(name)) return FALSE;
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return FALSE;
  DWORD size = SizeofResource(module, found);
  if (size == 0) return FALSE;
  // A resource handle of the loaded image: nothing to free or unlock.
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return FALSE;
  const void* data = LockResource(loaded);
  if (data == nullptr) return FALSE;
  ResourceBlob blob = {data, size};
  return reinterpret_cast<ResourceVisitor*>(context)->OnPayloadResource(name, blob) ? TRUE
                                                                                    : FALSE;
}

}  // namespace

bool VisitResourcesOfType(ResourceVisitor& visitor, HMODULE module, const wchar_t* type) {
  return EnumResourceNamesW(module, type, &VisitOneResource,
                            reinterpret_cast<LONG_PTR>(&visitor)) != FALSE;
}
