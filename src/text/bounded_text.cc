#include "text/bounded_text.h"

namespace {

// Copies source to destination up to and including its terminator, at most
// room characters. True when the terminator was copied.
bool CopyWithin(wchar_t* destination, size_t room, const wchar_t* source) {
  for (size_t i = 0; i < room; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) return true;
  }
  return false;
}

wchar_t FoldAsciiUpper(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c | 0x20) : c;
}

}  // namespace

bool BoundedCopy(wchar_t* destination, size_t capacity, const wchar_t* source) {
  if (destination == nullptr || capacity == 0) return false;
  if (CopyWithin(destination, capacity, source)) return true;
  destination[0] = 0;
  return false;
}

bool BoundedAppend(wchar_t* destination, size_t capacity, const wchar_t* source) {
  size_t length = BoundedLength(destination, capacity);
  if (destination == nullptr || capacity - length == 0) return false;
  if (CopyWithin(destination + length, capacity - length, source)) return true;
  destination[length] = 0;
  return false;
}

size_t BoundedLength(const wchar_t* text, size_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool StartsWithIgnoringCase(const wchar_t* text, const wchar_t* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  if (prefix[0] == 0) return true;
  for (size_t i = 0;; ++i) {
    if (FoldAsciiUpper(text[i]) != FoldAsciiUpper(prefix[i])) return false;
    if (prefix[i + 1] == 0) return true;
  }
}

const wchar_t* FileNameStart(const wchar_t* path, size_t length) {
  if (length == 0) return path;
  for (size_t i = length - 1; i >= 1; --i) {
    if (path[i] == L'\\') return path + i + 1;
  }
  return path[0] == L'\\' ? path + 1 : path;
}

wchar_t* FileNameStart(wchar_t* path, size_t length) {
  return const_cast<wchar_t*>(FileNameStart(static_cast<const wchar_t*>(path), length));
}

bool HexEncodeUpper(const uint8_t* data, size_t count, wchar_t* destination, size_t capacity) {
  static const char kDigits[] = "0123456789ABCDEF";
  // Room for 2 * count digits and a terminator, written so that no huge
  // count can wrap the product round to a small number.
  if (capacity == 0 || count > (capacity - 1) / 2) return false;
  destination[2 * count] = 0;
  for (size_t k = 0; k < count; ++k) {
    destination[2 * k] = static_cast<wchar_t>(kDigits[data[k] >> 4]);
    destination[2 * k + 1] = static_cast<wchar_t>(kDigits[data[k] & 0xF]);
  }
  return true;
}

void* FillBytes(void* destination, int value, size_t count) {
  // volatile keeps the compiler from turning this loop back into a call to
  // memset, which in the stub is this very routine.
  volatile uint8_t* bytes = static_cast<uint8_t*>(destination);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value);
  return destination;
}
