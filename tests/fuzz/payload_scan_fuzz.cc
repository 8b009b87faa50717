// Fuzzes the classification of payload resource names, PayloadScan
// (src/payload/payload_scan.cc), over whole scans.
//
// One input is a sequence of resource names, grouped into up to three resource
// types as UnpackPayload scans them: the found archive and setup carry over
// from type to type, scan_error starts at 0 for each type, and a type's walk
// ends at the first name the scan refuses. A name often begins with one of
// the prefixes in some mix of capitals, and may be padded to a length around
// the limit of 259 characters. Each name is a heap array of exactly its
// characters and terminator, and each result buffer a PathBuffer alone on the
// heap, so AddressSanitizer reports a read past a name's terminator or a write
// past a buffer. After each name the harness checks, against a reference model
// of the rules:
//   - "brisel…" is the archive and "setup…" the setup program, folding only
//     ASCII letters; any other name ends the type with 13;
//   - a second archive or setup program ends it with 68, whatever the type;
//   - a name of 260 characters or more ends it with 206 and is not kept;
//   - the result, scan_error, both names and the setup blob are as modelled,
//     and element 260 of each PathBuffer is still its terminator.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "payload/payload_scan.h"
#include "text/bounded_buffer.h"

namespace {

constexpr size_t kPathCapacity = 260;

wchar_t Lower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// The prefix rule written plainly: the name is at least as long as the
// prefix and equal to it letter by letter, lower-casing A-Z.
bool ModelHasPrefix(const FuzzText& name, const char* prefix) {
  size_t length = name.Length();
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (i >= length || Lower(name.chars[i]) != static_cast<wchar_t>(prefix[i])) return false;
  }
  return true;
}

// What the scan has found so far, as the model sees it.
struct Model {
  FuzzText archive_name;
  FuzzText setup_name;
  bool setup_found = false;
  const void* setup_data = nullptr;
  uint64_t setup_size = 0;
  uint32_t scan_error = 0;
};

// The rules of OnPayloadResource for one name; returns its result.
bool ModelVisit(Model& m, const FuzzText& name, const ResourceBlob& blob) {
  bool fits = name.Length() < kPathCapacity;
  if (ModelHasPrefix(name, "brisel")) {
    if (m.archive_name.Length() != 0) {
      m.scan_error = 68;
      return false;
    }
    if (!fits) {
      m.scan_error = 206;
      return false;
    }
    m.archive_name = name;
    return true;
  }
  if (ModelHasPrefix(name, "setup")) {
    if (m.setup_found) {
      m.scan_error = 68;
      return false;
    }
    if (!fits) {
      m.scan_error = 206;
      m.setup_name.count = 0;  // the failed copy leaves the name empty
      return false;
    }
    m.setup_name = name;
    m.setup_found = true;
    m.setup_data = blob.data;
    m.setup_size = blob.size;
    return true;
  }
  m.scan_error = 13;
  return false;
}

bool SameAsModel(const PathBuffer& buffer, const FuzzText& text) {
  size_t length = text.Length();
  if (buffer.Length() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (buffer.Data()[i] != text.chars[i]) return false;
  }
  return true;
}

// A name of the input: often one of the prefixes in some case, then fuzzed
// text, and when the input asks for it padded to a length around the limit of
// 259 characters, so the edges come quickly.
void ReadName(FuzzInput& input, FuzzText& name) {
  static const char* const kPrefixes[] = {"brisel", "setup"};
  ReadTextAfterWord(input, name, kPrefixes, 2, kPathCapacity + 20);
  uint8_t pad = input.Byte();
  if (pad < 0xF0) return;
  size_t target = kPathCapacity - 8 + (pad - 0xF0);  // 252 .. 267
  wchar_t fill = name.count > 0 ? name.chars[name.count - 1] : L'x';
  while (name.count < target) name.chars[name.count++] = fill;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  PathBuffer* archive_name = new PathBuffer;
  PathBuffer* setup_name = new PathBuffer;
  ResourceBlob setup_blob = {nullptr, 0};
  uint32_t scan_error = 0;
  PayloadScan scan(*archive_name, *setup_name, setup_blob, scan_error);
  Model model;
  // Blobs of the images are never read by the scan; each resource gets a
  // distinct address and a size of 1 or more.
  static const uint8_t kBytes[16] = {};

  for (int type = 0; type < 3 && !input.Empty(); ++type) {
    scan_error = 0;
    model.scan_error = 0;
    size_t names = 1 + input.Byte() % 4;
    for (size_t n = 0; n < names; ++n) {
      FuzzText name;
      ReadName(input, name);
      ExactArray<wchar_t> chars(name.Length() + 1);
      Place(name, chars);
      ResourceBlob blob = {kBytes + (type * 4 + n) % 16, 1 + input.Size(100000)};

      bool expected = ModelVisit(model, name, blob);
      bool result = scan.OnPayloadResource(chars.get(), blob);
      FUZZ_REQUIRE(result == expected, "the name is classified as the rules say");
      FUZZ_REQUIRE(scan_error == model.scan_error,
                   "scan_error is the rules' error, else left alone");
      FUZZ_REQUIRE(SameAsModel(*archive_name, model.archive_name), "archive_name as modelled");
      FUZZ_REQUIRE(SameAsModel(*setup_name, model.setup_name), "setup_name as modelled");
      FUZZ_REQUIRE(setup_blob.data == model.setup_data && setup_blob.size == model.setup_size,
                   "setup_blob is the first setup program's, and only that");
      FUZZ_REQUIRE(
          archive_name->Data()[kPathCapacity] == 0 && setup_name->Data()[kPathCapacity] == 0,
          "element 260 of a PathBuffer stays its terminator");
      if (!result) break;  // the walk of this type ends here
    }
  }
  delete archive_name;
  delete setup_name;
  return 0;
}
