// The stub as Windows sees it on disk: format, subsystem, entry point and the
// only DLLs it may import from.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "support/pe_image.h"
#include "support/test_support.h"

namespace {

// The RVA the linker gave a symbol, from the map written beside the stub.
uint32_t SymbolRvaFromMap(const std::string& symbol) {
  std::istringstream map(test::ReadFileBytes(test::BinDirectory() + L"bootpack.map"));
  std::string line;
  while (std::getline(map, line)) {
    std::istringstream fields(line);
    std::string address, size, align, name;
    if (fields >> address >> size >> align >> name && name == symbol && align == "0") {
      return static_cast<uint32_t>(std::stoul(address, nullptr, 16));
    }
  }
  return 0;
}

class StubImageTest : public ::testing::Test {
 protected:
  test::PeImage image_{test::StubPath()};
};

TEST_F(StubImageTest, IsGuiPe32PlusForX64) {
  ASSERT_TRUE(image_.ok());
  EXPECT_EQ(image_.file_header().Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(image_.optional_header().Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(image_.optional_header().Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(StubImageTest, EntryPointIsProcessEntry) {
  ASSERT_TRUE(image_.ok());
  uint32_t entry = SymbolRvaFromMap("ProcessEntry");
  ASSERT_NE(entry, 0u) << "ProcessEntry is missing from bootpack.map";
  EXPECT_EQ(image_.optional_header().AddressOfEntryPoint, entry);
}

TEST_F(StubImageTest, ImportsOnlyFromTheThreeSystemDlls) {
  ASSERT_TRUE(image_.ok());
  std::vector<test::ImportedDll> imports = image_.Imports();
  ASSERT_FALSE(imports.empty());
  const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "shell32.dll"};
  for (const test::ImportedDll& dll : imports) {
    std::string lower = dll.name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_TRUE(allowed.count(lower)) << "unexpected import from " << dll.name;
    for (const std::string& function : dll.functions) {
      EXPECT_NE(function[0], '#') << dll.name << " imported by ordinal";
    }
  }
}

TEST_F(StubImageTest, NoRuntimeStartupLinked) {
  ASSERT_TRUE(image_.ok());
  for (const char* symbol : {"mainCRTStartup", "WinMainCRTStartup", "__main", "atexit"}) {
    EXPECT_EQ(SymbolRvaFromMap(symbol), 0u) << symbol << " was linked into the stub";
  }
}

}  // namespace
