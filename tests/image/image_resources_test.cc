// The resources Windows and the shell read from every image: the icon, the
// version block and the manifest beside the payload, all of language 1033.
// The version block is read back through the system's own version library.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "image/image_format.h"
#include "support/pe_image.h"
#include "support/test_support.h"

namespace {

std::wstring ImagePath(const std::wstring& which) {
  return which == L"bootpack" ? test::StubPath() : test::LayoutPath(which);
}

const std::vector<test::ResourceEntry> Find(const test::PeImage& image, const std::wstring& type) {
  std::vector<test::ResourceEntry> found;
  for (const test::ResourceEntry& entry : image.Resources()) {
    if (entry.type == type) found.push_back(entry);
  }
  return found;
}

class ImageResourcesTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override { ASSERT_TRUE(image_.ok()); }
  test::PeImage image_{ImagePath(GetParam())};
};

TEST_P(ImageResourcesTest, EveryResourceIsEnglishUnitedStates) {
  std::vector<test::ResourceEntry> resources = image_.Resources();
  ASSERT_FALSE(resources.empty());
  for (const test::ResourceEntry& entry : resources) {
    EXPECT_EQ(entry.language, 1033)
        << test::Narrow(entry.type) << "/" << test::Narrow(entry.name);
  }
}

// Only the payload has string types, so the stub's scan of "B7", "BL" and
// "BN" meets nothing of the icon, the version block or the manifest.
TEST_P(ImageResourcesTest, ImageResourcesHaveIntegerTypesAndIdentifiers) {
  std::map<std::wstring, std::vector<std::wstring>> expected = {
      {L"#3", {L"#1", L"#2", L"#3", L"#4", L"#5", L"#6", L"#7", L"#8", L"#9", L"#10"}},
      {L"#14", {L"#107"}},
      {L"#16", {L"#1"}},
      {L"#24", {L"#1"}}};
  std::map<std::wstring, std::vector<std::wstring>> actual;
  for (const test::ResourceEntry& entry : image_.Resources()) {
    if (entry.type[0] == L'#') actual[entry.type].push_back(entry.name);
  }
  EXPECT_EQ(actual, expected);
}

TEST_P(ImageResourcesTest, TheShellFindsExactlyOneIcon) {
  // With index -1 ExtractIconExW counts the icon groups of the file.
  EXPECT_EQ(ExtractIconExW(ImagePath(GetParam()).c_str(), -1, nullptr, nullptr, 0), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryLinkedImage, ImageResourcesTest,
                         ::testing::Values(L"bootpack", L"no_payload", L"archive_only",
                                           L"image_product"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return test::Narrow(info.param);
                         });

class ProductResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(image_.ok()); }
  const uint8_t* Data(const test::ResourceEntry& entry) const {
    return image_.AtRva(entry.data_rva, entry.size);
  }
  test::PeImage image_{test::LayoutPath(L"image_product")};
};

TEST_F(ProductResourcesTest, PayloadUnderTheDefaultNames) {
  std::vector<test::ResourceEntry> payload = Find(image_, L"BN");
  ASSERT_EQ(payload.size(), 2u);
  EXPECT_EQ(payload[0].name, L"BRISEL.7Z");
  EXPECT_EQ(payload[1].name, L"SETUP.EXE");
  const uint8_t kSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
  ASSERT_NE(Data(payload[0]), nullptr);
  EXPECT_EQ(memcmp(Data(payload[0]), kSignature, 6), 0);
  std::string setup = test::ReadFileBytes(test::BinDirectory() + L"winrun.exe");
  ASSERT_EQ(payload[1].size, setup.size());
  EXPECT_EQ(memcmp(Data(payload[1]), setup.data(), setup.size()), 0) << "stored unchanged";
}

TEST_F(ProductResourcesTest, IconGroupListsTheTenImagesInOrder) {
  struct Expected {
    int size, bits;
    bool png;
    uint32_t bytes;  // 0: any (the compressed picture)
  };
  const Expected kImages[10] = {{48, 4, false, 1640},  {32, 4, false, 744},  {16, 4, false, 296},
                                {48, 8, false, 3752},  {32, 8, false, 2216}, {16, 8, false, 1384},
                                {256, 32, true, 0},    {48, 32, false, 9640}, {32, 32, false, 4264},
                                {16, 32, false, 1128}};
  std::vector<test::ResourceEntry> groups = Find(image_, L"#14");
  ASSERT_EQ(groups.size(), 1u);
  std::vector<test::IconGroupEntry> entries =
      test::ReadIconGroup(Data(groups[0]), groups[0].size);
  ASSERT_EQ(entries.size(), 10u);
  std::vector<test::ResourceEntry> icons = Find(image_, L"#3");
  ASSERT_EQ(icons.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE("icon " + std::to_string(i + 1));
    const test::IconGroupEntry& entry = entries[i];
    EXPECT_EQ(entry.id, i + 1);
    EXPECT_EQ(entry.width, kImages[i].size);
    EXPECT_EQ(entry.height, kImages[i].size);
    EXPECT_EQ(entry.bit_count, kImages[i].bits);
    EXPECT_EQ(entry.planes, 1);
    EXPECT_EQ(entry.color_count, kImages[i].bits == 4 ? 16 : 0);
    ASSERT_EQ(icons[i].name, L"#" + std::to_wstring(i + 1));
    EXPECT_EQ(entry.bytes, icons[i].size) << "group and image disagree on the size";
    if (kImages[i].bytes != 0) EXPECT_EQ(icons[i].size, kImages[i].bytes);
    test::IconImageFormat format = test::ReadIconImage(Data(icons[i]), icons[i].size);
    EXPECT_EQ(format.png, kImages[i].png);
    EXPECT_EQ(format.width, kImages[i].size);
    EXPECT_EQ(format.height, kImages[i].size);
    EXPECT_EQ(format.bits, kImages[i].bits);
  }
}

TEST_F(ProductResourcesTest, ManifestDeclaresAsInvokerCommonControlsAndSupportedSystems) {
  std::vector<test::ResourceEntry> manifests = Find(image_, L"#24");
  ASSERT_EQ(manifests.size(), 1u);
  std::string text(reinterpret_cast<const char*>(Data(manifests[0])), manifests[0].size);
  const char* kRequired[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"",
      "manifestVersion=\"1.0\"",
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
      "name=\"Microsoft.Windows.Common-Controls\"",
      "version=\"6.0.0.0\"",
      "processorArchitecture=\"*\"",
      "publicKeyToken=\"6595b64144ccf1df\"",
      "language=\"*\"",
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
      "<maxversiontested Id=\"10.0.18362.0\"/>",
  };
  for (const char* required : kRequired) {
    EXPECT_NE(text.find(required), std::string::npos) << "missing " << required;
  }
  size_t assemblies = 0;
  for (size_t at = text.find("<assembly "); at != std::string::npos;
       at = text.find("<assembly ", at + 1)) {
    ++assemblies;
  }
  EXPECT_EQ(assemblies, 1u);
}

// The system's version library, loaded for these tests only.
class VersionLibrary {
 public:
  VersionLibrary() : module_(LoadLibraryW(L"version.dll")) {}
  ~VersionLibrary() { FreeLibrary(module_); }

  std::string Block(const std::wstring& path) {
    auto size_of = Function<DWORD WINAPI(LPCWSTR, LPDWORD)>("GetFileVersionInfoSizeW");
    auto read = Function<BOOL WINAPI(LPCWSTR, DWORD, DWORD, LPVOID)>("GetFileVersionInfoW");
    DWORD ignored = 0;
    DWORD size = size_of(path.c_str(), &ignored);
    std::string block(size, '\0');
    if (size == 0 || !read(path.c_str(), 0, size, block.data())) return {};
    return block;
  }

  // VerQueryValueW's answer for sub_block, as bytes; empty when absent.
  std::string Query(std::string& block, const std::wstring& sub_block) {
    auto query = Function<BOOL WINAPI(LPCVOID, LPCWSTR, LPVOID*, PUINT)>("VerQueryValueW");
    void* value = nullptr;
    UINT length = 0;
    if (!query(block.data(), sub_block.c_str(), &value, &length)) return {};
    bool text = sub_block.rfind(L"\\StringFileInfo\\", 0) == 0;
    size_t bytes = text ? length * sizeof(wchar_t) : length;
    return std::string(static_cast<const char*>(value), bytes);
  }

  std::wstring String(std::string& block, const std::wstring& key) {
    std::string bytes = Query(block, L"\\StringFileInfo\\040904b0\\" + key);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }

 private:
  template <typename Signature>
  Signature* Function(const char* name) {
    return reinterpret_cast<Signature*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_;
};

TEST_F(ProductResourcesTest, VersionBlockFixedPartAndTranslation) {
  VersionLibrary version;
  std::string block = version.Block(test::LayoutPath(L"image_product"));
  ASSERT_FALSE(block.empty());
  std::string fixed_bytes = version.Query(block, L"\\");
  ASSERT_EQ(fixed_bytes.size(), sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, fixed_bytes.data(), sizeof(fixed));
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, (2u << 16) | 5u);  // --version 2.5.7.11
  EXPECT_EQ(fixed.dwFileVersionLS, (7u << 16) | 11u);
  EXPECT_EQ(fixed.dwProductVersionMS, fixed.dwFileVersionMS);
  EXPECT_EQ(fixed.dwProductVersionLS, fixed.dwFileVersionLS);
  EXPECT_EQ(fixed.dwFileFlagsMask, 0x17u);
  EXPECT_EQ(fixed.dwFileFlags, 0u);
  EXPECT_EQ(fixed.dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed.dwFileSubtype, 0u);
  EXPECT_EQ(fixed.dwFileDateMS, 0u);
  EXPECT_EQ(fixed.dwFileDateLS, 0u);

  std::string translation = version.Query(block, L"\\VarFileInfo\\Translation");
  ASSERT_EQ(translation.size(), 4u);
  EXPECT_EQ(test::ReadAt<uint16_t>(reinterpret_cast<const uint8_t*>(translation.data())), 0x0409);
  EXPECT_EQ(test::ReadAt<uint16_t>(reinterpret_cast<const uint8_t*>(translation.data()) + 2),
            1200);
}

TEST_F(ProductResourcesTest, VersionStringsInOrderWithTheirValues) {
  std::vector<test::ResourceEntry> versions = Find(image_, L"#16");
  ASSERT_EQ(versions.size(), 1u);
  std::vector<std::wstring> keys;
  test::CollectVersionKeys(Data(versions[0]), versions[0].size, L"", keys);
  const std::wstring table = L"VS_VERSION_INFO/StringFileInfo/040904b0/";
  std::vector<std::wstring> expected = {L"VS_VERSION_INFO", L"VS_VERSION_INFO/StringFileInfo",
                                        L"VS_VERSION_INFO/StringFileInfo/040904b0"};
  const wchar_t* kKeys[] = {L"CompanyName",      L"FileDescription",  L"FileVersion",
                            L"InternalName",     L"LegalCopyright",   L"ProductName",
                            L"ProductVersion",   L"CompanyShortName", L"ProductShortName",
                            L"LastChange",       L"Official Build"};
  for (const wchar_t* key : kKeys) expected.push_back(table + key);
  expected.push_back(L"VS_VERSION_INFO/VarFileInfo");
  expected.push_back(L"VS_VERSION_INFO/VarFileInfo/Translation");
  EXPECT_EQ(keys, expected);

  VersionLibrary version;
  std::string block = version.Block(test::LayoutPath(L"image_product"));
  ASSERT_FALSE(block.empty());
  EXPECT_NE(version.String(block, L"CompanyName").find(L"Orvane"), std::wstring::npos);
  EXPECT_EQ(version.String(block, L"FileDescription"), L"Brisel Installer");
  EXPECT_EQ(version.String(block, L"ProductName"), L"Brisel Installer");
  EXPECT_EQ(version.String(block, L"FileVersion"), L"2.5.7.11");
  EXPECT_EQ(version.String(block, L"ProductVersion"), L"2.5.7.11");
  EXPECT_EQ(version.String(block, L"InternalName"), L"image_product");
  EXPECT_NE(version.String(block, L"LegalCopyright").find(L"Orvane"), std::wstring::npos);
  EXPECT_EQ(version.String(block, L"CompanyShortName"), L"Orvane");
  EXPECT_EQ(version.String(block, L"ProductShortName"), L"Brisel Installer");
  EXPECT_EQ(version.String(block, L"Official Build"), L"1");
  std::wregex last_change(L"[0-9a-f]{40}-[^@]+@[0-9]+");
  EXPECT_TRUE(std::regex_match(version.String(block, L"LastChange"), last_change))
      << test::Narrow(version.String(block, L"LastChange"));
}

TEST(StubVersionTest, BareStubCarriesTheDefaultVersion) {
  VersionLibrary version;
  std::string block = version.Block(test::StubPath());
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(version.String(block, L"FileVersion"), L"1.0.0.0");
  EXPECT_EQ(version.String(block, L"InternalName"), L"bootpack");
}

}  // namespace
