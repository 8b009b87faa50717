// What the compiler may call on its own in an image without a C runtime: zeroing
// and copying of larger objects. Stack probes come from static libgcc.
#include "common/win32.h"
#include "text/bounded_text.h"

extern "C" {

void* memset(void* destination, int value, size_t count) {
  return FillBytes(destination, value, count);
}

void* memcpy(void* destination, const void* source, size_t count) {
  volatile uint8_t* to = static_cast<uint8_t*>(destination);
  const uint8_t* from = static_cast<const uint8_t*>(source);
  for (size_t i = 0; i < count; ++i) to[i] = from[i];
  return destination;
}

}  // extern "C"
