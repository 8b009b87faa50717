// What every harness under tests/fuzz shares: a reader that turns the fuzzer's
// bytes into sizes and wide text, arrays sized exactly so that AddressSanitizer
// reports the first element read or written past them, and the check that ends
// the run when a promised property does not hold.
//
// The harnesses are built for Linux with -fshort-wchar, so wchar_t is 16 bits
// as on Windows. Nothing here may call the C library's wide-character
// functions: that library was built for a 32-bit wchar_t.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static_assert(sizeof(wchar_t) == 2, "build the harnesses with -fshort-wchar");

// A violated property: say which and abort, so that libFuzzer keeps the input.
#define FUZZ_REQUIRE(condition, what)                                                         \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      fprintf(stderr, "\nproperty violated at %s:%d: %s\n  (%s)\n", __FILE__, __LINE__, what, \
              #condition);                                                                    \
      abort();                                                                                \
    }                                                                                         \
  } while (0)

// Reads the input front to back. Past its end every read yields 0, so a
// harness never has to ask how much is left; Empty() tells when to stop.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  // A number in [0, limit], from two bytes.
  size_t Size(size_t limit) {
    size_t raw = Byte();
    raw |= static_cast<size_t>(Byte()) << 8;
    return raw % (limit + 1);
  }

  // One UTF-16 code unit. A byte stands for the code unit of the same value,
  // so 0 is a terminator and '\\', '"', TAB, SPACE and ASCII letters are one
  // byte each; 0xFF brings any 16-bit unit in the next two bytes.
  wchar_t Char() {
    uint8_t b = Byte();
    if (b != 0xFF) return static_cast<wchar_t>(b);
    uint16_t low = Byte();
    uint16_t high = Byte();
    return static_cast<wchar_t>(low | (high << 8));
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A heap array of exactly count elements: one element more is outside the
// allocation, which AddressSanitizer reports on the first read or write.
template <typename T>
class ExactArray {
 public:
  explicit ExactArray(size_t count) : count_(count), items_(new T[count]) {}
  ~ExactArray() { delete[] items_; }
  ExactArray(const ExactArray&) = delete;
  ExactArray& operator=(const ExactArray&) = delete;

  T* get() { return items_; }
  size_t count() const { return count_; }
  T& operator[](size_t i) { return items_[i]; }

 private:
  size_t count_;
  T* items_;
};

// Wide text as a fuzzer makes it: up to limit characters read with Char(),
// any of which may be 0, and a terminator after the last. Kept in a fixed array; the harnesses copy
// it into an ExactArray of the size the code under test may touch.
struct FuzzText {
  static constexpr size_t kLimit = 1400;
  wchar_t chars[kLimit + 1];
  size_t count = 0;

  // The characters with a terminator after the last, for code that may read
  // the whole text.
  const wchar_t* Terminated() {
    chars[count] = 0;
    return chars;
  }

  // Where the text ends for the code under test: its first NUL, else count.
  size_t Length() const {
    size_t n = 0;
    while (n < count && chars[n] != 0) ++n;
    return n;
  }
};

// count characters from the input, each with Char(); then, when the input
// asks for it, the last character repeated so that long texts cost few bytes.
inline void ReadText(FuzzInput& input, FuzzText& text, size_t limit) {
  if (limit > FuzzText::kLimit) limit = FuzzText::kLimit;
  size_t count = input.Size(limit < 64 ? limit : 64);
  text.count = 0;
  for (size_t i = 0; i < count; ++i) text.chars[text.count++] = input.Char();
  size_t repeat = input.Byte() == 0xA5 ? input.Size(limit) : 0;
  wchar_t fill = text.count > 0 ? text.chars[text.count - 1] : L'x';
  while (repeat-- > 0 && text.count < limit) text.chars[text.count++] = fill;
}

// Text that often begins with one of the words the code looks for: a byte
// picks a word or none, a second byte which of the word's letters are
// capitals, and fuzzed text read with ReadText follows. The words so come up
// in every case, and near misses are one mutation away.
inline void ReadTextAfterWord(FuzzInput& input, FuzzText& text, const char* const* words,
                              size_t word_count, size_t limit) {
  if (limit > FuzzText::kLimit) limit = FuzzText::kLimit;
  size_t pick = input.Byte() % (word_count + 1);
  uint8_t capitals = input.Byte();
  FuzzText rest;
  ReadText(input, rest, limit);
  text.count = 0;
  if (pick < word_count) {
    for (size_t i = 0; words[pick][i] != 0 && text.count < limit; ++i) {
      char c = words[pick][i];
      bool capital = c >= 'a' && c <= 'z' && ((capitals >> (i % 8)) & 1);
      text.chars[text.count++] = static_cast<wchar_t>(capital ? c - 'a' + 'A' : c);
    }
  }
  for (size_t i = 0; i < rest.count && text.count < limit; ++i) {
    text.chars[text.count++] = rest.chars[i];
  }
}

// Fills an exact array from the text: its characters, then the terminator
// that ends every FuzzText, then 'p' for any element beyond.
inline void Place(const FuzzText& text, ExactArray<wchar_t>& array) {
  for (size_t i = 0; i < array.count(); ++i) {
    array[i] = i < text.count ? text.chars[i] : i == text.count ? 0 : L'p';
  }
}

// Equality of two texts up to and including their terminators.
inline bool SameText(const wchar_t* a, const wchar_t* b) {
  for (size_t i = 0;; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == 0) return true;
  }
}
