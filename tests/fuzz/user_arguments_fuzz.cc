// Fuzzes the split of the user's arguments from the process command line,
// FindUserArguments and AppendUserArguments (src/setup/user_arguments.cc).
//
// One input is a process command line and a command already composed up to a
// fuzzed length, so that every amount of room left is tried. The command line
// is a heap array of exactly its characters and terminator, and the
// CommandBuffer sits alone on the heap, so AddressSanitizer reports a read
// past the line's terminator or a write past the buffer. The harness checks:
//   - the arguments begin where a reference model of the rules says: after
//     the closing quotation mark of a quoted name, at the first NUL, TAB or
//     SPACE of an unquoted one, nowhere for a quotation mark never closed;
//     the result is a pointer into the line, so what is forwarded is always
//     a suffix of it;
//   - the command ends as modelled: the text before, then the arguments
//     verbatim when they begin with their own blank, or one space and the
//     arguments after a closing quotation mark; unchanged when there is
//     nothing to forward; exactly as before, with a false result, when the
//     arguments do not fit;
//   - element 1300 of the CommandBuffer is never written.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "setup/user_arguments.h"
#include "text/bounded_buffer.h"

namespace {

constexpr size_t kCommandCapacity = 1300;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The index at which the rules say the arguments begin, or -1 for a quoted
// name that is never closed. Written from the rules: a quoted name runs to the
// next quotation mark; an unquoted one to the first blank or the end.
long ModelArgumentsStart(const wchar_t* line, size_t length) {
  if (length > 0 && line[0] == L'"') {
    for (size_t i = 1; i < length; ++i) {
      if (line[i] == L'"') return static_cast<long>(i + 1);
    }
    return -1;
  }
  size_t i = 0;
  while (i < length && !IsBlank(line[i])) ++i;
  return static_cast<long>(i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  size_t before_length = input.Size(kCommandCapacity - 1);
  FuzzText line_text;
  ReadText(input, line_text, FuzzText::kLimit);
  size_t length = line_text.Length();
  ExactArray<wchar_t> line(length + 1);
  Place(line_text, line);

  // FindUserArguments: a pointer into the line, where the model says.
  long start = ModelArgumentsStart(line.get(), length);
  const wchar_t* found = FindUserArguments(line.get());
  if (start < 0) {
    FUZZ_REQUIRE(found == nullptr, "a quotation mark never closed forwards nothing");
  } else {
    FUZZ_REQUIRE(found == line.get() + start, "the arguments begin where the rules say");
  }

  // AppendUserArguments onto a command of before_length characters.
  CommandBuffer* command = new CommandBuffer;
  ExactArray<wchar_t> before(before_length + 1);
  for (size_t i = 0; i < before_length; ++i) before[i] = static_cast<wchar_t>(L'a' + i % 26);
  before[before_length] = 0;
  FUZZ_REQUIRE(command->Assign(before.get()), "the composed part fits");

  // The expected command: what was there, then the arguments as forwarded.
  static wchar_t expected[kCommandCapacity + FuzzText::kLimit + 2];
  size_t expected_length = before_length;
  for (size_t i = 0; i < before_length; ++i) expected[i] = before[i];
  if (start >= 0 && static_cast<size_t>(start) < length) {
    if (!IsBlank(line[start])) expected[expected_length++] = L' ';
    for (size_t i = start; i < length; ++i) expected[expected_length++] = line[i];
  }
  bool fits = expected_length <= kCommandCapacity - 1;
  if (!fits) expected_length = before_length;
  expected[expected_length] = 0;

  bool result = AppendUserArguments(*command, line.get());
  FUZZ_REQUIRE(result == fits, "true exactly when everything forwarded fits");
  FUZZ_REQUIRE(SameText(command->Data(), expected),
               "the command is the text before and the arguments, or unchanged");
  FUZZ_REQUIRE(command->Data()[kCommandCapacity] == 0, "element 1300 is never written");

  // A command line that was never read forwards nothing.
  FUZZ_REQUIRE(AppendUserArguments(*command, nullptr), "no command line, nothing to forward");
  FUZZ_REQUIRE(SameText(command->Data(), expected), "no command line changes nothing");
  delete command;
  return 0;
}
