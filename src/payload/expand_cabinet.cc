#include "payload/expand_cabinet.h"

bool ExpandCabinet(const wchar_t* source_path, const wchar_t* destination_path) {
  // Not built yet: no cabinet can be expanded.
  return false;
}
