// A fixed wide-character buffer of capacity N: N + 1 elements, text of at most
// N - 1 characters. Every operation and every system call that fills it is
// confined to the first N elements, so element N stays a terminator.
#pragma once

#include <stddef.h>

#include "text/bounded_text.h"

template <size_t N>
class BoundedBuffer {
  static_assert(N >= 1, "a buffer holds at least its terminator");

 public:
  static constexpr size_t kCapacity = N;

  BoundedBuffer() {
    text_[0] = 0;
    text_[N] = 0;
  }
  BoundedBuffer(const BoundedBuffer&) = delete;
  BoundedBuffer& operator=(const BoundedBuffer&) = delete;

  void Clear() { text_[0] = 0; }
  size_t Length() const { return BoundedLength(text_, N); }
  bool IsEmpty() const { return Length() == 0; }
  bool Assign(const wchar_t* source) { return BoundedCopy(text_, N, source); }
  bool Append(const wchar_t* source) { return BoundedAppend(text_, N, source); }
  void Truncate(size_t n) {
    if (n < N) text_[n] = 0;
  }

  wchar_t* Data() { return text_; }
  const wchar_t* Data() const { return text_; }
  static constexpr size_t Capacity() { return N; }

 private:
  wchar_t text_[N + 1];
};

using PathBuffer = BoundedBuffer<260>;
using CommandBuffer = BoundedBuffer<1300>;
using ResourceTypeBuffer = BoundedBuffer<3>;
