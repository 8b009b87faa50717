// Fuzzes the bounded wide-string operations (src/text) and BoundedBuffer.
//
// One input is a destination of a fuzzed capacity and fuzzed contents
// (terminated or not) and a short program of operations on it. Every buffer
// the code is handed is a heap array of exactly the elements it may touch: the
// destination has capacity elements; a source has only as many as the
// operation may read (up to its terminator, and no further than the room);
// BoundedLength gets capacity - 1 elements, as it never reads the last one.
// AddressSanitizer so reports any access beyond a bound. After each operation
// the harness checks what the code promises:
//   - the result and every element of the destination agree with a reference
//     model written from the rules, not from the code;
//   - a destination of capacity 1 or more holds a terminator;
//   - a failed append leaves the earlier text exactly; a failed copy leaves
//     the text empty; a failed hex encoding writes nothing;
//   - BoundedBuffer<N> never writes element N and its length follows the model.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "text/bounded_buffer.h"
#include "text/bounded_text.h"

namespace {

constexpr size_t kMaxCapacity = 300;

// --- Reference model -------------------------------------------------------

size_t ModelLength(const wchar_t* text, size_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  size_t n = 0;
  while (n < capacity - 1 && text[n] != 0) ++n;
  return n;
}

// The copy rules: the text fits when its length is at most capacity - 1;
// otherwise capacity characters were copied and the first is cut back to 0.
bool ModelCopy(wchar_t* model, size_t capacity, const FuzzText& source) {
  if (capacity == 0) return false;
  size_t length = source.Length();
  if (length + 1 <= capacity) {
    for (size_t i = 0; i < length; ++i) model[i] = source.chars[i];
    model[length] = 0;
    return true;
  }
  for (size_t i = 0; i < capacity; ++i) model[i] = source.chars[i];
  model[0] = 0;
  return false;
}

bool ModelAppend(wchar_t* model, size_t capacity, const FuzzText& source) {
  if (capacity == 0) return false;
  size_t before = ModelLength(model, capacity);
  size_t length = source.Length();
  if (before + length + 1 <= capacity) {
    for (size_t i = 0; i < length; ++i) model[before + i] = source.chars[i];
    model[before + length] = 0;
    return true;
  }
  for (size_t i = 0; i < capacity - before; ++i) model[before + i] = source.chars[i];
  model[before] = 0;
  return false;
}

wchar_t Lower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool ModelStartsWith(const FuzzText& text, const FuzzText& prefix) {
  size_t text_length = text.Length();
  size_t prefix_length = prefix.Length();
  if (prefix_length > text_length) return false;
  for (size_t i = 0; i < prefix_length; ++i) {
    if (Lower(text.chars[i]) != Lower(prefix.chars[i])) return false;
  }
  return true;
}

// Just after the last backslash among the first length characters, else 0.
size_t ModelFileNameStart(const wchar_t* path, size_t length) {
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == L'\\') start = i + 1;
  }
  return start;
}

// --- The destination and its model ---------------------------------------

struct Destination {
  explicit Destination(size_t capacity) : capacity(capacity), text(capacity), model(capacity) {}
  size_t capacity;
  ExactArray<wchar_t> text;
  ExactArray<wchar_t> model;

  void Check(const char* after) {
    for (size_t i = 0; i < capacity; ++i) {
      if (text[i] != model[i]) {
        fprintf(stderr, "after %s: element %zu is 0x%04X, expected 0x%04X\n", after, i,
                static_cast<unsigned>(text[i]), static_cast<unsigned>(model[i]));
        FUZZ_REQUIRE(false, "the destination agrees with the model");
      }
    }
  }

  void RequireTerminated() {
    if (capacity == 0) return;
    bool terminated = false;
    for (size_t i = 0; i < capacity && !terminated; ++i) terminated = text[i] == 0;
    FUZZ_REQUIRE(terminated, "a destination of capacity 1 or more stays terminated");
  }
};

// The source as the code may read it: up to its terminator, and no further
// than room characters. One element more is outside the allocation.
size_t Readable(const FuzzText& source, size_t room) {
  size_t length = source.Length();
  return length + 1 < room ? length + 1 : room;
}

void RunCopy(Destination& d, FuzzInput& input) {
  FuzzText source;
  ReadText(input, source, kMaxCapacity + 10);
  ExactArray<wchar_t> readable(Readable(source, d.capacity));
  Place(source, readable);
  bool expected = ModelCopy(d.model.get(), d.capacity, source);
  bool result = BoundedCopy(d.text.get(), d.capacity, readable.get());
  FUZZ_REQUIRE(result == expected, "BoundedCopy succeeds exactly when the text fits");
  d.Check("BoundedCopy");
  d.RequireTerminated();
  if (!result && d.capacity > 0) FUZZ_REQUIRE(d.text[0] == 0, "a failed copy reads as empty");
  ExactArray<wchar_t> nothing(0);
  FUZZ_REQUIRE(!BoundedCopy(nullptr, d.capacity, nothing.get()), "a null destination fails");
}

void RunAppend(Destination& d, FuzzInput& input) {
  FuzzText source;
  ReadText(input, source, kMaxCapacity + 10);
  size_t before = ModelLength(d.model.get(), d.capacity);
  ExactArray<wchar_t> readable(Readable(source, d.capacity - before));
  Place(source, readable);
  // The earlier text, to compare after a failure.
  ExactArray<wchar_t> earlier(before);
  for (size_t i = 0; i < before; ++i) earlier[i] = d.text[i];

  bool expected = ModelAppend(d.model.get(), d.capacity, source);
  bool result = BoundedAppend(d.text.get(), d.capacity, readable.get());
  FUZZ_REQUIRE(result == expected, "BoundedAppend succeeds exactly when the text fits");
  d.Check("BoundedAppend");
  d.RequireTerminated();
  if (!result && d.capacity > 0) {
    for (size_t i = 0; i < before; ++i) {
      FUZZ_REQUIRE(d.text[i] == earlier[i], "a failed append keeps the earlier text");
    }
    FUZZ_REQUIRE(BoundedLength(d.text.get(), d.capacity) == before,
                 "a failed append leaves the earlier length");
  }
  ExactArray<wchar_t> nothing(0);
  FUZZ_REQUIRE(!BoundedAppend(nullptr, d.capacity, nothing.get()), "a null destination fails");
}

void RunLength(Destination& d) {
  // Element capacity - 1 is never read: it is not in this copy.
  size_t visible = d.capacity < 1 ? 0 : d.capacity - 1;
  ExactArray<wchar_t> copy(visible);
  for (size_t i = 0; i < visible; ++i) copy[i] = d.text[i];
  size_t expected = ModelLength(d.model.get(), d.capacity);
  FUZZ_REQUIRE(BoundedLength(copy.get(), d.capacity) == expected, "BoundedLength");
  FUZZ_REQUIRE(BoundedLength(nullptr, d.capacity) == 0, "BoundedLength of a null text is 0");
}

void RunStartsWith(FuzzInput& input) {
  FuzzText text, prefix;
  ReadText(input, text, 40);
  ReadText(input, prefix, 40);
  // Each is read up to its terminator at most: exactly that much is there.
  ExactArray<wchar_t> text_chars(text.Length() + 1);
  ExactArray<wchar_t> prefix_chars(prefix.Length() + 1);
  Place(text, text_chars);
  Place(prefix, prefix_chars);
  bool expected = ModelStartsWith(text, prefix);
  FUZZ_REQUIRE(StartsWithIgnoringCase(text_chars.get(), prefix_chars.get()) == expected,
               "StartsWithIgnoringCase folds only A-Z and tests a prefix");
  FUZZ_REQUIRE(!StartsWithIgnoringCase(nullptr, prefix_chars.get()), "a null text matches nothing");
  FUZZ_REQUIRE(!StartsWithIgnoringCase(text_chars.get(), nullptr), "a null prefix matches nothing");
}

void RunFileNameStart(FuzzInput& input) {
  FuzzText path;
  ReadText(input, path, kMaxCapacity);
  // Only the first length characters exist; the terminator is not consulted.
  ExactArray<wchar_t> chars(path.count);
  Place(path, chars);
  size_t expected = ModelFileNameStart(chars.get(), path.count);
  const wchar_t* constant = chars.get();
  FUZZ_REQUIRE(FileNameStart(constant, path.count) == constant + expected,
               "FileNameStart is just after the last backslash");
  FUZZ_REQUIRE(FileNameStart(chars.get(), path.count) == chars.get() + expected,
               "both forms of FileNameStart agree");
}

void RunHexEncode(FuzzInput& input) {
  size_t count = input.Size(40);
  size_t capacity = input.Size(90);
  ExactArray<uint8_t> data(count);
  for (size_t k = 0; k < count; ++k) data[k] = input.Byte();
  ExactArray<wchar_t> text(capacity);
  for (size_t i = 0; i < capacity; ++i) text[i] = static_cast<wchar_t>(0xA500 + i);

  bool result = HexEncodeUpper(data.get(), count, text.get(), capacity);
  FUZZ_REQUIRE(result == (2 * count + 1 <= capacity), "HexEncodeUpper fits 2 digits a byte");
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < capacity; ++i) {
    wchar_t expected = static_cast<wchar_t>(0xA500 + i);
    if (result && i < 2 * count) {
      uint8_t byte = data[i / 2];
      expected = static_cast<wchar_t>(kDigits[i % 2 == 0 ? byte / 16 : byte % 16]);
    }
    if (result && i == 2 * count) expected = 0;
    FUZZ_REQUIRE(text[i] == expected, "HexEncodeUpper writes the digits, a terminator, no more");
  }
}

void RunFillBytes(FuzzInput& input) {
  size_t count = input.Size(kMaxCapacity);
  int value = static_cast<int>(input.Byte()) | static_cast<int>(input.Byte()) << 8;
  if (input.Byte() & 1) value = -value;
  ExactArray<uint8_t> bytes(count);
  FUZZ_REQUIRE(FillBytes(bytes.get(), value, count) == bytes.get(),
               "FillBytes returns its destination");
  for (size_t i = 0; i < count; ++i) {
    FUZZ_REQUIRE(bytes[i] == static_cast<uint8_t>(value), "FillBytes stores the low eight bits");
  }
}

// A BoundedBuffer<N> alone on the heap, driven through its own operations;
// the model is N + 1 elements of which the last stays 0.
template <size_t N>
void RunBuffer(FuzzInput& input) {
  BoundedBuffer<N>* buffer = new BoundedBuffer<N>;
  wchar_t model[N];
  model[0] = 0;
  for (int step = 0; step < 6 && !input.Empty(); ++step) {
    FuzzText source;
    switch (input.Byte() % 4) {
      case 0: {
        ReadText(input, source, N + 4);
        bool expected = ModelCopy(model, N, source);
        FUZZ_REQUIRE(buffer->Assign(source.Terminated()) == expected, "BoundedBuffer::Assign");
        break;
      }
      case 1: {
        ReadText(input, source, N + 4);
        bool expected = ModelAppend(model, N, source);
        FUZZ_REQUIRE(buffer->Append(source.Terminated()) == expected, "BoundedBuffer::Append");
        break;
      }
      case 2: {
        size_t n = input.Size(N + 2);
        buffer->Truncate(n);
        if (n < N) model[n] = 0;
        break;
      }
      default:
        buffer->Clear();
        model[0] = 0;
        break;
    }
    FUZZ_REQUIRE(buffer->Data()[N] == 0, "element N of a BoundedBuffer is never written");
    FUZZ_REQUIRE(buffer->Length() == ModelLength(model, N), "BoundedBuffer::Length");
    FUZZ_REQUIRE(buffer->IsEmpty() == (ModelLength(model, N) == 0), "BoundedBuffer::IsEmpty");
    for (size_t i = 0; i <= ModelLength(model, N) && i < N; ++i) {
      FUZZ_REQUIRE(buffer->Data()[i] == model[i], "BoundedBuffer's text agrees with the model");
    }
  }
  delete buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  switch (input.Byte() % 5) {
    case 0:
      RunStartsWith(input);
      return 0;
    case 1:
      RunFileNameStart(input);
      return 0;
    case 2:
      RunHexEncode(input);
      return 0;
    case 3:
      RunFillBytes(input);
      return 0;
    default:
      break;
  }
  switch (input.Byte() % 4) {
    case 0:
      RunBuffer<1>(input);
      return 0;
    case 1:
      RunBuffer<3>(input);
      return 0;
    case 2:
      RunBuffer<260>(input);
      return 0;
    default:
      break;
  }

  // A destination of a fuzzed capacity with fuzzed contents, then a program.
  Destination d(input.Size(kMaxCapacity));
  FuzzText contents;
  ReadText(input, contents, kMaxCapacity);
  Place(contents, d.text);
  Place(contents, d.model);
  for (int step = 0; step < 8 && !input.Empty(); ++step) {
    switch (input.Byte() % 3) {
      case 0:
        RunCopy(d, input);
        break;
      case 1:
        RunAppend(d, input);
        break;
      default:
        RunLength(d);
        break;
    }
  }
  RunLength(d);
  return 0;
}
