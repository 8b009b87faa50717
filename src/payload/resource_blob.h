// Read-only bytes in memory: a resource of the loaded image. The bytes belong
// to the image and are never freed; a blob is copied by value.
#pragma once

#include <stdint.h>

struct ResourceBlob {
  const void* data;
  // SizeofResource's 32-bit value, widened. 0 counts as absent.
  uint64_t size;
};
