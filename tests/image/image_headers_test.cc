// What Windows reads from the headers of every image the packer writes: the
// bare stub, payload layouts and a packed product must all be the same
// program, with Control Flow Guard that the code really uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "image/image_format.h"
#include "support/pe_image.h"
#include "support/test_support.h"

namespace {

// Images made by different routes through the packer.
std::wstring ImagePath(const std::wstring& which) {
  return which == L"bootpack" ? test::StubPath() : test::LayoutPath(which);
}

class ImageHeadersTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override { ASSERT_TRUE(image_.ok()) << test::Narrow(ImagePath(GetParam())); }
  test::PeImage image_{ImagePath(GetParam())};
};

TEST_P(ImageHeadersTest, FormatSubsystemAndVersions) {
  const IMAGE_OPTIONAL_HEADER64& optional = image_.optional_header();
  EXPECT_EQ(image_.file_header().Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(optional.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  EXPECT_EQ(optional.MajorOperatingSystemVersion, 10);
  EXPECT_EQ(optional.MinorOperatingSystemVersion, 0);
  EXPECT_EQ(optional.MajorSubsystemVersion, 10);
  EXPECT_EQ(optional.MinorSubsystemVersion, 0);
}

TEST_P(ImageHeadersTest, DllCharacteristicsAreExactly0xC160) {
  EXPECT_EQ(image_.optional_header().DllCharacteristics,
            IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                IMAGE_DLLCHARACTERISTICS_NX_COMPAT | IMAGE_DLLCHARACTERISTICS_GUARD_CF |
                IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
  EXPECT_EQ(image_.optional_header().DllCharacteristics, 0xC160);
}

TEST_P(ImageHeadersTest, NoExportsTlsOrDelayLoadedImports) {
  const IMAGE_DATA_DIRECTORY* dirs = image_.optional_header().DataDirectory;
  for (int index : {IMAGE_DIRECTORY_ENTRY_EXPORT, IMAGE_DIRECTORY_ENTRY_TLS,
                    IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT}) {
    EXPECT_EQ(dirs[index].VirtualAddress, 0u) << "data directory " << index;
    EXPECT_EQ(dirs[index].Size, 0u) << "data directory " << index;
  }
}

TEST_P(ImageHeadersTest, ImportsByNameFromTheThreeSystemDllsOnly) {
  const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "shell32.dll"};
  std::vector<test::ImportedDll> imports = image_.Imports();
  ASSERT_FALSE(imports.empty());
  for (const test::ImportedDll& dll : imports) {
    std::string lower = dll.name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_TRUE(allowed.count(lower)) << "imports from " << dll.name;
    for (const std::string& function : dll.functions) {
      EXPECT_NE(function[0], '#') << dll.name << " by ordinal";
    }
  }
}

TEST_P(ImageHeadersTest, LoadConfigurationRestrictsDependenciesToSystem32) {
  test::LoadConfig config = test::ReadLoadConfig(image_);
  ASSERT_TRUE(config.present);
  EXPECT_EQ(config.size,
            image_.optional_header().DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG].Size);
  EXPECT_EQ(config.dependent_load_flags, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

TEST_P(ImageHeadersTest, GuardFlagsAndFunctionTable) {
  test::LoadConfig config = test::ReadLoadConfig(image_);
  ASSERT_TRUE(config.present);
  const uint32_t kInstrumented = 0x100, kFunctionTablePresent = 0x400;
  EXPECT_EQ(config.guard_flags & kInstrumented, kInstrumented);
  EXPECT_EQ(config.guard_flags & kFunctionTablePresent, kFunctionTablePresent);
  // The upper four bits give extra bytes per table entry; none are written.
  ASSERT_EQ(config.guard_flags >> 28, 0u);

  const uint64_t base = image_.optional_header().ImageBase;
  ASSERT_GT(config.guard_function_count, 0u);
  ASSERT_GE(config.guard_function_table, base);
  uint32_t table_rva = static_cast<uint32_t>(config.guard_function_table - base);
  const uint8_t* table =
      image_.AtRva(table_rva, static_cast<uint32_t>(config.guard_function_count * 4));
  ASSERT_NE(table, nullptr);
  uint32_t previous = 0;
  for (uint64_t i = 0; i < config.guard_function_count; ++i) {
    uint32_t target = test::ReadAt<uint32_t>(table + 4 * i);
    EXPECT_TRUE(test::IsCode(image_, target)) << "entry " << i << " is not code";
    EXPECT_GT(target, previous) << "entries must be sorted and unique";
    previous = target;
  }
}

TEST_P(ImageHeadersTest, CodeCallsThroughTheGuardDispatchPointer) {
  test::LoadConfig config = test::ReadLoadConfig(image_);
  ASSERT_TRUE(config.present);
  const uint64_t base = image_.optional_header().ImageBase;
  for (uint64_t pointer :
       {config.guard_check_function_pointer, config.guard_dispatch_function_pointer}) {
    ASSERT_GT(pointer, base);
    const uint8_t* slot = image_.AtRva(static_cast<uint32_t>(pointer - base), 8);
    ASSERT_NE(slot, nullptr);
    uint64_t initial = test::ReadAt<uint64_t>(slot);
    EXPECT_TRUE(test::IsCode(image_, static_cast<uint32_t>(initial - base)))
        << "the guard pointer's initial target is not code";
  }
  // Instrumented indirect calls go through the dispatch pointer: a flag set
  // by hand on uninstrumented code would leave no such call.
  EXPECT_GT(test::CountIndirectCallsThrough(
                image_, static_cast<uint32_t>(config.guard_dispatch_function_pointer - base)),
            0);
}

INSTANTIATE_TEST_SUITE_P(EveryLinkedImage, ImageHeadersTest,
                         ::testing::Values(L"bootpack", L"no_payload", L"archive_only",
                                           L"image_product"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return test::Narrow(info.param);
                         });

TEST(ImageRunTest, ImageWithoutPayloadEndsWith112) {
  test::RegistryLock lock;  // the failure report may write ClientState values
  test::ScratchDirectory scratch(L"img");
  test::ProcessResult result =
      test::RunCopiedImage(test::LayoutPath(L"no_payload"), scratch.path(), L"");
  ASSERT_TRUE(result.started) << "CreateProcessW failed with " << result.start_error;
  EXPECT_EQ(result.exit_code, 112u);
}

}  // namespace
