// Reads a PE32+ image from its bytes on disk, independently of the loader:
// headers, sections, imports and the resource directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/win32.h"

namespace test {

struct ImportedDll {
  std::string name;
  std::vector<std::string> functions;  // by name; "#N" for an ordinal
};

struct ResourceEntry {
  std::wstring type;  // string types as text, integer types as "#N"
  std::wstring name;  // likewise
  uint16_t language = 0;
  uint32_t size = 0;
  uint32_t data_rva = 0;
};

class PeImage {
 public:
  // Loads the file; ok() tells whether it is a well-formed PE32+ image.
  explicit PeImage(const std::wstring& path);
  bool ok() const { return ok_; }

  const IMAGE_FILE_HEADER& file_header() const { return file_header_; }
  const IMAGE_OPTIONAL_HEADER64& optional_header() const { return optional_; }
  const std::vector<IMAGE_SECTION_HEADER>& sections() const { return sections_; }
  const std::string& bytes() const { return bytes_; }

  // Bytes at an RVA, or null when it lies outside every section's file data.
  const uint8_t* AtRva(uint32_t rva, uint32_t size = 1) const;

  std::vector<ImportedDll> Imports() const;
  std::vector<ResourceEntry> Resources() const;

 private:
  std::string bytes_;
  bool ok_ = false;
  IMAGE_FILE_HEADER file_header_ = {};
  IMAGE_OPTIONAL_HEADER64 optional_ = {};
  std::vector<IMAGE_SECTION_HEADER> sections_;
};

}  // namespace test
