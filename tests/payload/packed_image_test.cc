// What the packer puts into an image: exactly the resources it was given,
// named as the loader looks them up, on an otherwise unchanged stub.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pe_image.h"
#include "support/test_support.h"

namespace {

// The payload resources of an image: those of the three payload types and of
// any type the stub itself does not carry.
std::vector<test::ResourceEntry> Payload(const test::PeImage& image) {
  std::vector<test::ResourceEntry> stub_resources = test::PeImage(test::StubPath()).Resources();
  std::vector<test::ResourceEntry> payload;
  for (const test::ResourceEntry& entry : image.Resources()) {
    bool from_stub = false;
    for (const test::ResourceEntry& own : stub_resources) {
      from_stub |= own.type == entry.type && own.name == entry.name;
    }
    if (!from_stub) payload.push_back(entry);
  }
  return payload;
}

std::string Describe(const std::vector<test::ResourceEntry>& entries) {
  std::string text;
  for (const test::ResourceEntry& e : entries) {
    text += test::Narrow(e.type) + "/" + test::Narrow(e.name) + ":" + std::to_string(e.size) +
            "@" + std::to_string(e.language) + " ";
  }
  return text;
}

TEST(PackedImageTest, CarriesExactlyTheResourcesGiven) {
  std::wstring name_300 = L"SETUP" + std::wstring(295, L'X');
  struct Row {
    const wchar_t* layout;
    std::string payload;
  } rows[] = {
      {L"no_payload", ""},
      {L"payload_plain", "BN/BRISEL.7Z:19@1033 BN/SETUP.EXE:70001@1033 "},
      {L"payload_mixed_case_names", "BN/BRISEL.7Z:19@1033 BN/SETUP.EXE:70001@1033 "},
      {L"payload_integer_identifier",
       "BN/BRISEL.7Z:19@1033 BN/SETUP.EXE:70001@1033 BN/#5:19@1033 "},
      {L"payload_empty_setup", "BN/BRISEL.7Z:19@1033 BN/SETUP.EXE:0@1033 "},
      {L"payload_other_types_only", "BX/BRISEL.7Z:19@1033 #10/SETUP.EXE:70001@1033 "},
      {L"payload_setup_300", "BN/BRISEL.7Z:19@1033 BN/" + test::Narrow(name_300) + ":70001@1033 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.layout));
    test::PeImage image(test::LayoutPath(row.layout));
    ASSERT_TRUE(image.ok());
    EXPECT_EQ(Describe(Payload(image)), row.payload);
  }
}

TEST(PackedImageTest, KeepsEveryPropertyOfTheStub) {
  test::PeImage stub(test::StubPath());
  ASSERT_TRUE(stub.ok());
  for (const wchar_t* layout : {L"no_payload", L"payload_plain", L"payload_setup_300"}) {
    SCOPED_TRACE(test::Narrow(layout));
    test::PeImage image(test::LayoutPath(layout));
    ASSERT_TRUE(image.ok());
    EXPECT_EQ(image.file_header().Machine, stub.file_header().Machine);
    EXPECT_EQ(image.file_header().Characteristics, stub.file_header().Characteristics);
    const IMAGE_OPTIONAL_HEADER64& a = image.optional_header();
    const IMAGE_OPTIONAL_HEADER64& b = stub.optional_header();
    EXPECT_EQ(a.Subsystem, b.Subsystem);
    EXPECT_EQ(a.DllCharacteristics, b.DllCharacteristics);
    EXPECT_EQ(a.AddressOfEntryPoint, b.AddressOfEntryPoint);
    EXPECT_EQ(a.FileAlignment, b.FileAlignment);
    EXPECT_EQ(a.MajorSubsystemVersion, b.MajorSubsystemVersion);
    EXPECT_EQ(a.SizeOfStackReserve, b.SizeOfStackReserve);
    std::vector<test::ImportedDll> imports = image.Imports(), stub_imports = stub.Imports();
    ASSERT_EQ(imports.size(), stub_imports.size());
    for (size_t i = 0; i < imports.size(); ++i) {
      EXPECT_EQ(imports[i].name, stub_imports[i].name);
      EXPECT_EQ(imports[i].functions, stub_imports[i].functions);
    }
    // The code is the stub's, byte for byte.
    for (const IMAGE_SECTION_HEADER& section : stub.sections()) {
      if (!(section.Characteristics & IMAGE_SCN_CNT_CODE)) continue;
      const uint8_t* ours = stub.AtRva(section.VirtualAddress, section.Misc.VirtualSize);
      const uint8_t* theirs = image.AtRva(section.VirtualAddress, section.Misc.VirtualSize);
      ASSERT_NE(ours, nullptr);
      ASSERT_NE(theirs, nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(ours), section.Misc.VirtualSize),
                std::string(reinterpret_cast<const char*>(theirs), section.Misc.VirtualSize));
    }
  }
}

}  // namespace
