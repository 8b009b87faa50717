// Bounded wide-string operations. None of them writes beyond the capacity it is
// given: text that does not fit is a false result and the destination is left
// terminated. None allocates, makes a system call or touches the last error.
//
// Pure code: no Windows header, so that the host build compiles this very
// source for the fuzzers (tests/fuzz).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Replaces destination's text with source's. False when destination is null,
// capacity is 0, or source has capacity characters or more (destination then
// reads as empty).
bool BoundedCopy(wchar_t* destination, size_t capacity, const wchar_t* source);

// Adds source's text after destination's. False when it does not fit; the
// earlier text is then left as it was.
bool BoundedAppend(wchar_t* destination, size_t capacity, const wchar_t* source);

// Index of the first NUL among text[0 .. capacity-2], else capacity - 1.
// 0 for a null text or a capacity below 2.
size_t BoundedLength(const wchar_t* text, size_t capacity);

// Prefix test that folds only 'A'..'Z'. A null text or prefix matches nothing;
// the empty prefix matches every text.
bool StartsWithIgnoringCase(const wchar_t* text, const wchar_t* prefix);

// The position just after the last backslash among path's first length
// characters, or path itself when there is none.
wchar_t* FileNameStart(wchar_t* path, size_t length);
const wchar_t* FileNameStart(const wchar_t* path, size_t length);

// Writes count bytes as 2 * count upper-case hex digits and a terminator.
// False, with nothing written, when 2 * count >= capacity.
bool HexEncodeUpper(const uint8_t* data, size_t count, wchar_t* destination, size_t capacity);

// Stores the low eight bits of value into count bytes from destination on.
void* FillBytes(void* destination, int value, size_t count);
