#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "text/bounded_buffer.h"
#include "text/bounded_text.h"

namespace {

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

TEST(BoundedCopy, FitsUpToCapacityMinusOne) {
  PathBuffer buffer;
  EXPECT_TRUE(buffer.Assign(Repeat(L'a', 259).c_str()));
  EXPECT_EQ(buffer.Length(), 259u);
  EXPECT_FALSE(buffer.Assign(Repeat(L'b', 260).c_str()));
  EXPECT_EQ(buffer.Length(), 0u) << "a failed copy reads as empty";
  EXPECT_EQ(buffer.Data()[1], L'b') << "later elements keep the copied characters";
}

TEST(BoundedCopy, NullDestinationOrZeroCapacityWritesNothing) {
  wchar_t one[1] = {L'x'};
  EXPECT_FALSE(BoundedCopy(nullptr, 10, L"a"));
  EXPECT_FALSE(BoundedCopy(one, 0, L"a"));
  EXPECT_EQ(one[0], L'x');
}

TEST(BoundedCopy, CapacityOneHoldsOnlyTheEmptyText) {
  wchar_t one[1] = {L'x'};
  EXPECT_TRUE(BoundedCopy(one, 1, L""));
  EXPECT_EQ(one[0], 0);
  one[0] = L'x';
  EXPECT_FALSE(BoundedCopy(one, 1, L"a"));
  EXPECT_EQ(one[0], 0);
}

TEST(BoundedAppend, FailureKeepsEarlierText) {
  PathBuffer buffer;
  const std::wstring base = Repeat(L'a', 250);
  ASSERT_TRUE(buffer.Assign(base.c_str()));
  EXPECT_TRUE(buffer.Append(Repeat(L'b', 9).c_str()));
  EXPECT_EQ(buffer.Length(), 259u);
  ASSERT_TRUE(buffer.Assign(base.c_str()));
  EXPECT_FALSE(buffer.Append(Repeat(L'b', 10).c_str()));
  EXPECT_EQ(std::wstring(buffer.Data()), base);
}

TEST(BoundedAppend, EmptyTextChangesNothing) {
  PathBuffer buffer;
  ASSERT_TRUE(buffer.Assign(L"abc"));
  EXPECT_TRUE(buffer.Append(L""));
  EXPECT_EQ(std::wstring(buffer.Data()), L"abc");
}

TEST(BoundedAppend, UnterminatedDestinationCountsAsFull) {
  wchar_t text[5] = {L'a', L'b', L'c', L'd', L'e'};
  EXPECT_TRUE(BoundedAppend(text, 5, L""));
  EXPECT_EQ(text[4], 0) << "the terminator goes to element capacity - 1";
  wchar_t other[5] = {L'a', L'b', L'c', L'd', L'e'};
  EXPECT_FALSE(BoundedAppend(other, 5, L"x"));
  EXPECT_EQ(other[4], 0);
  EXPECT_EQ(std::wstring(other), L"abcd");
}

TEST(BoundedAppend, CapacityEdges) {
  wchar_t one[1] = {0};
  EXPECT_TRUE(BoundedAppend(one, 1, L""));
  EXPECT_EQ(one[0], 0);
  EXPECT_FALSE(BoundedAppend(one, 1, L"a"));
  EXPECT_EQ(one[0], 0);
  EXPECT_FALSE(BoundedAppend(nullptr, 4, L"a"));
  EXPECT_FALSE(BoundedAppend(one, 0, L""));
}

TEST(BoundedLength, Edges) {
  wchar_t full[4] = {L'a', L'b', L'c', L'd'};
  EXPECT_EQ(BoundedLength(nullptr, 10), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 0), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 1), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 4), 3u) << "exactly capacity - 1 characters";
  EXPECT_EQ(BoundedLength(full, 4), 3u) << "no terminator at all";
  EXPECT_EQ(BoundedLength(L"", 4), 0u);
}

TEST(StartsWithIgnoringCase, FoldsOnlyAsciiLetters) {
  struct Row {
    const wchar_t* text;
    const wchar_t* prefix;
    bool expected;
  } rows[] = {
      {L"SETUP.EXE", L"setup", true},
      {L"Setup", L"SETUP", true},
      {L"set", L"setup", false},
      {L"anything", L"", true},
      {L"", L"", true},
      {nullptr, L"", false},
      {L"abc", nullptr, false},
      {L"[", L"{", false},
      {L"\u00C4", L"\u00E4", false},
      {L"brisel.7z", L"BRISEL", true},
      {L"my-setup.exe", L"setup", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StartsWithIgnoringCase(row.text, row.prefix), row.expected)
        << (row.text ? row.text : L"(null)") << " / " << (row.prefix ? row.prefix : L"(null)");
  }
}

TEST(FileNameStart, FindsPositionAfterLastBackslash) {
  struct Row {
    const wchar_t* path;
    size_t length;
    size_t expected;
  } rows[] = {
      {L"C:\\dir\\file.exe", 15, 7},
      {L"C:\\dir\\", 7, 7},
      {L"file.exe", 8, 0},
      {L"\\file", 5, 1},
      {L"C:\\dir\\file.exe", 0, 0},
      {L"a/b/c", 5, 0},
      {L"C:\\dir\\file.exe", 6, 3},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FileNameStart(row.path, row.length) - row.path, static_cast<ptrdiff_t>(row.expected))
        << row.path << " length " << row.length;
  }
}

TEST(HexEncodeUpper, TwoDigitsPerByte) {
  const uint8_t bytes[] = {0x0A, 0xFF, 0x00, 0x3C};
  wchar_t out[9];
  ASSERT_TRUE(HexEncodeUpper(bytes, 4, out, 9));
  EXPECT_EQ(std::wstring(out), L"0AFF003C");

  wchar_t untouched[8] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x'};
  EXPECT_FALSE(HexEncodeUpper(bytes, 4, untouched, 8));
  EXPECT_EQ(std::wstring(untouched, 8), L"xxxxxxxx");

  wchar_t empty[1] = {L'x'};
  EXPECT_TRUE(HexEncodeUpper(bytes, 0, empty, 1));
  EXPECT_EQ(empty[0], 0);

  // Counts whose doubled value wraps round to 0 or 2: refused before a read.
  for (size_t huge : {SIZE_MAX / 2 + 1, SIZE_MAX / 2 + 2}) {
    EXPECT_FALSE(HexEncodeUpper(bytes, huge, untouched, 8)) << huge;
    EXPECT_EQ(std::wstring(untouched, 8), L"xxxxxxxx");
  }
  EXPECT_FALSE(HexEncodeUpper(bytes, 0, untouched, 0));
}

TEST(FillBytes, FillsExactlyCount) {
  uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(FillBytes(bytes, 0, 0), bytes);
  EXPECT_EQ(bytes[0], 1);
  FillBytes(bytes + 1, 0x1AB, 4);
  const uint8_t expected[6] = {1, 0xAB, 0xAB, 0xAB, 0xAB, 6};
  EXPECT_EQ(memcmp(bytes, expected, 6), 0);
}

TEST(BoundedBuffer, TruncateOnlyWithinCapacity) {
  // What lies right after the buffer: a truncation one past the capacity
  // must not reach it.
  struct {
    ResourceTypeBuffer type;
    wchar_t after[2] = {L'x', L'x'};
  } guarded;
  ResourceTypeBuffer& type = guarded.type;
  ASSERT_TRUE(type.Assign(L"BN"));
  EXPECT_FALSE(type.Assign(L"BNX"));
  ASSERT_TRUE(type.Assign(L"BL"));
  for (size_t n : {ResourceTypeBuffer::Capacity(), ResourceTypeBuffer::Capacity() + 1}) {
    type.Truncate(n);
    EXPECT_EQ(std::wstring(type.Data()), L"BL") << n;
    EXPECT_EQ(std::wstring(guarded.after, 2), L"xx") << n;
  }
  type.Truncate(1);
  EXPECT_EQ(std::wstring(type.Data()), L"B");
  type.Clear();
  EXPECT_TRUE(type.IsEmpty());
}

}  // namespace
