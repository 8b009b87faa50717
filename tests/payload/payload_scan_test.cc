// Classification of payload resources by name, and the walk over one type of
// a packed image's resources.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/payload_scan.h"
#include "payload/visit_resources_of_type.h"
#include "support/import_patch.h"
#include "support/layout_module.h"
#include "support/test_support.h"

namespace {

struct Scan {
  PathBuffer archive_name;
  PathBuffer setup_name;
  ResourceBlob setup_blob = {nullptr, 0};
  uint32_t scan_error = 0;
  PayloadScan scan{archive_name, setup_name, setup_blob, scan_error};
};

const char kSetupBytes[] = "MZ setup";
const ResourceBlob kSetupBlob = {kSetupBytes, sizeof(kSetupBytes)};
const ResourceBlob kArchiveBlob = {"7z", 2};

TEST(PayloadScanTest, ClassifiesByPrefixIgnoringAsciiCase) {
  struct Row {
    const wchar_t* name;
    bool archive, setup;
  } rows[] = {
      {L"BRISEL.7Z", true, false},    {L"brisel.7z", true, false},
      {L"Brisel", true, false},       {L"briselfoo.bin", true, false},
      {L"SETUP.EXE", false, true},    {L"Setup.exe", false, true},
      {L"setupx", false, true},       {L"SETUP", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.name));
    Scan s;
    EXPECT_TRUE(s.scan.OnPayloadResource(row.name, kSetupBlob));
    EXPECT_EQ(s.scan_error, 0u);
    EXPECT_EQ(std::wstring(s.archive_name.Data()), row.archive ? row.name : L"");
    EXPECT_EQ(std::wstring(s.setup_name.Data()), row.setup ? row.name : L"");
    EXPECT_EQ(s.setup_blob.data, row.setup ? kSetupBytes : nullptr);
    EXPECT_EQ(s.setup_blob.size, row.setup ? sizeof(kSetupBytes) : 0u);
  }
}

TEST(PayloadScanTest, OtherNamesEndTheScanWithInvalidData) {
  // Only the beginning counts, and only ASCII letters fold: the long s that
  // Unicode folds to 's' is not an 's'.
  for (const wchar_t* name : {L"my-setup.exe", L"README", L"brise", L"setu", L" setup.exe",
                              L"\x017Fetup.exe", L"BR\x0130SEL.7Z"}) {
    SCOPED_TRACE(test::Narrow(name));
    Scan s;
    EXPECT_FALSE(s.scan.OnPayloadResource(name, kSetupBlob));
    EXPECT_EQ(s.scan_error, static_cast<uint32_t>(ERROR_INVALID_DATA));
    EXPECT_TRUE(s.archive_name.IsEmpty());
    EXPECT_EQ(s.setup_blob.size, 0u);
  }
}

TEST(PayloadScanTest, SecondArchiveOrSetupIsTooManyNames) {
  Scan s;
  ASSERT_TRUE(s.scan.OnPayloadResource(L"BRISEL.7Z", kArchiveBlob));
  ASSERT_TRUE(s.scan.OnPayloadResource(L"SETUP.EXE", kSetupBlob));
  EXPECT_FALSE(s.scan.OnPayloadResource(L"brisel.zip", kArchiveBlob));
  EXPECT_EQ(s.scan_error, static_cast<uint32_t>(ERROR_TOO_MANY_NAMES));
  EXPECT_EQ(std::wstring(s.archive_name.Data()), L"BRISEL.7Z");

  s.scan_error = 0;
  const ResourceBlob other = {"MZ", 2};
  EXPECT_FALSE(s.scan.OnPayloadResource(L"setup2.exe", other));
  EXPECT_EQ(s.scan_error, static_cast<uint32_t>(ERROR_TOO_MANY_NAMES));
  EXPECT_EQ(std::wstring(s.setup_name.Data()), L"SETUP.EXE");
  EXPECT_EQ(s.setup_blob.data, kSetupBytes);
}

TEST(PayloadScanTest, NamesOf260CharactersOrMoreAreRefused) {
  struct Row {
    const wchar_t* prefix;
    size_t length;
    uint32_t error;
  } rows[] = {
      {L"BRISEL", 259, 0},
      {L"BRISEL", 260, ERROR_FILENAME_EXCED_RANGE},
      {L"BRISEL", 300, ERROR_FILENAME_EXCED_RANGE},
      {L"SETUP", 259, 0},
      {L"SETUP", 260, ERROR_FILENAME_EXCED_RANGE},
      {L"SETUP", 300, ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    std::wstring name = row.prefix;
    name.resize(row.length, L'X');
    SCOPED_TRACE(test::Narrow(row.prefix) + " of " + std::to_string(row.length));
    Scan s;
    EXPECT_EQ(s.scan.OnPayloadResource(name.c_str(), kSetupBlob), row.error == 0);
    EXPECT_EQ(s.scan_error, row.error);
    // A refused name leaves no trace: the archive reads as not found.
    std::wstring kept = row.error == 0 ? name : L"";
    if (name[0] == L'B') EXPECT_EQ(std::wstring(s.archive_name.Data()), kept);
    if (name[0] == L'S') EXPECT_EQ(s.setup_blob.size, row.error == 0 ? sizeof(kSetupBytes) : 0u);
  }
}

// Records every resource the walk hands over.
class RecordingVisitor final : public ResourceVisitor {
 public:
  explicit RecordingVisitor(size_t stop_after = SIZE_MAX) : stop_after_(stop_after) {}
  bool OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) override {
    names.push_back(name);
    sizes.push_back(blob.size);
    bytes.push_back(std::string(static_cast<const char*>(blob.data), blob.size));
    return names.size() < stop_after_;
  }
  std::vector<std::wstring> names;
  std::vector<uint64_t> sizes;
  std::vector<std::string> bytes;

 private:
  size_t stop_after_;
};

TEST(VisitResourcesOfTypeTest, HandsOverEachNamedResourceWithItsBytes) {
  test::LayoutModule image(L"payload_plain");
  ASSERT_NE(image.get(), nullptr) << GetLastError();
  RecordingVisitor visitor;
  EXPECT_TRUE(VisitResourcesOfType(visitor, image.get(), L"BN"));
  EXPECT_EQ(visitor.names, (std::vector<std::wstring>{L"BRISEL.7Z", L"SETUP.EXE"}));
  ASSERT_EQ(visitor.bytes.size(), 2u);
  EXPECT_EQ(visitor.bytes[0], "7z stand-in archive");
  EXPECT_EQ(visitor.sizes[1], 70001u);
  EXPECT_EQ(visitor.bytes[1].substr(0, 2), "MZ");
}

// Provokes: unpack.scan-ends.integer-id, unpack.scan-ends.empty
TEST(VisitResourcesOfTypeTest, StopsWhereTheVisitorOrTheResourceSaysSo) {
  struct Row {
    const char* what;
    const wchar_t* layout;
    const wchar_t* type;
    size_t stop_after;
    std::vector<std::wstring> seen;
  } rows[] = {
      {"an absent type", L"payload_plain", L"B7", SIZE_MAX, {}},
      {"the visitor's false", L"payload_plain", L"BN", 1, {L"BRISEL.7Z"}},
      {"an empty resource hides those after it", L"payload_empty_resource_first", L"BN",
       SIZE_MAX, {L"BRISEL.7Z"}},
      {"an integer identifier", L"payload_integer_identifier", L"BN", SIZE_MAX,
       {L"BRISEL.7Z", L"SETUP.EXE"}},
      {"a type with only an integer identifier", L"payload_only_integer_identifier", L"BL",
       SIZE_MAX, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    test::LayoutModule image(row.layout);
    ASSERT_NE(image.get(), nullptr) << GetLastError();
    RecordingVisitor visitor(row.stop_after);
    EXPECT_FALSE(VisitResourcesOfType(visitor, image.get(), row.type));
    EXPECT_EQ(visitor.names, row.seen);
  }
}

// The walk's lookups made to fail at the second resource of a type.
int g_calls = 0;
decltype(&FindResourceW) g_real_find = nullptr;
decltype(&LoadResource) g_real_load = nullptr;
decltype(&LockResource) g_real_lock = nullptr;

HRSRC WINAPI FindFailingSecond(HMODULE module, LPCWSTR name, LPCWSTR type) {
  if (++g_calls == 2) return nullptr;
  return g_real_find(module, name, type);
}
HGLOBAL WINAPI LoadFailingSecond(HMODULE module, HRSRC resource) {
  if (++g_calls == 2) return nullptr;
  return g_real_load(module, resource);
}
LPVOID WINAPI LockFailingSecond(HGLOBAL loaded) {
  if (++g_calls == 2) return nullptr;
  return g_real_lock(loaded);
}

// Provokes: unpack.scan-ends.unloadable
TEST(VisitResourcesOfTypeTest, ResourceThatCannotBeFoundLoadedOrLockedEndsTheWalk) {
  struct Row {
    const char* function;
    void* replacement;
    void** original;
  } rows[] = {
      {"FindResourceW", reinterpret_cast<void*>(&FindFailingSecond),
       reinterpret_cast<void**>(&g_real_find)},
      {"LoadResource", reinterpret_cast<void*>(&LoadFailingSecond),
       reinterpret_cast<void**>(&g_real_load)},
      {"LockResource", reinterpret_cast<void*>(&LockFailingSecond),
       reinterpret_cast<void**>(&g_real_lock)},
  };
  // BRISEL.7Z, README, SETUP.EXE: README, which would be an error, is never
  // classified, and SETUP.EXE after it is never seen.
  test::LayoutModule image(L"payload_readme_beside_archive");
  ASSERT_NE(image.get(), nullptr) << GetLastError();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.function);
    test::ImportPatch patch("kernel32.dll", row.function, row.replacement);
    ASSERT_TRUE(patch.active());
    *row.original = patch.original<void>();
    g_calls = 0;
    Scan s;
    EXPECT_FALSE(VisitResourcesOfType(s.scan, image.get(), L"BN"));
    EXPECT_EQ(s.scan_error, 0u);
    EXPECT_EQ(std::wstring(s.archive_name.Data()), L"BRISEL.7Z");
    EXPECT_EQ(s.setup_blob.size, 0u);
  }
}

}  // namespace
