// The bare stub's entry point is its own: no runtime start-up is linked.
// Format, subsystem and imports of every packed image are checked in tests/image.
#include <gtest/gtest.h>

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

TEST_F(StubImageTest, EntryPointIsProcessEntry) {
  ASSERT_TRUE(image_.ok());
  uint32_t entry = SymbolRvaFromMap("ProcessEntry");
  ASSERT_NE(entry, 0u) << "ProcessEntry is missing from bootpack.map";
  EXPECT_EQ(image_.optional_header().AddressOfEntryPoint, entry);
}

TEST_F(StubImageTest, NoRuntimeStartupLinked) {
  ASSERT_TRUE(image_.ok());
  for (const char* symbol : {"mainCRTStartup", "WinMainCRTStartup", "__main", "atexit"}) {
    EXPECT_EQ(SymbolRvaFromMap(symbol), 0u) << symbol << " was linked into the stub";
  }
}

}  // namespace
