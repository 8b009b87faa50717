// The test cabinets built with gcab (build\bin\cabinets\) and the few edits
// the tests make to copies of them: an entry's stored date, time and
// attributes, and where the compressed data blocks lie.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace test {

inline std::wstring CabinetPath(const std::wstring& name) {
  return BinDirectory() + L"cabinets\\" + name + L".cab";
}

inline std::string ReadCabinet(const std::wstring& name) {
  return ReadFileBytes(CabinetPath(name));
}

inline uint16_t Read16(const std::string& bytes, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                               static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

inline uint32_t Read32(const std::string& bytes, size_t offset) {
  return Read16(bytes, offset) | static_cast<uint32_t>(Read16(bytes, offset + 2)) << 16;
}

inline void Write16(std::string& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

// The cabinet header: "MSCF", the offset of the first file entry at 16, the
// folder and file counts at 26 and 28, the first folder entry at 36. The
// test cabinets carry no reserved areas.
constexpr size_t kFirstFileEntryOffset = 16;
constexpr size_t kFileCountOffset = 28;
constexpr size_t kFirstFolderOffset = 36;

// A file entry: size, offset, folder, then the stored date, time and
// attributes at 10, 12 and 14, then the name.
inline void SetFirstEntryStamp(std::string& cabinet, uint16_t date, uint16_t time,
                               uint16_t attributes) {
  size_t entry = Read32(cabinet, kFirstFileEntryOffset);
  Write16(cabinet, entry + 10, date);
  Write16(cabinet, entry + 12, time);
  Write16(cabinet, entry + 14, attributes);
}

inline uint32_t FirstEntrySize(const std::string& cabinet) {
  return Read32(cabinet, Read32(cabinet, kFirstFileEntryOffset));
}

// Where each data block of the first folder starts: a checksum, the packed
// and the unpacked size, then the packed bytes.
struct DataBlock {
  size_t offset;
  uint16_t packed_size;
};

inline std::vector<DataBlock> FirstFolderBlocks(const std::string& cabinet) {
  std::vector<DataBlock> blocks;
  size_t offset = Read32(cabinet, kFirstFolderOffset);
  uint16_t count = Read16(cabinet, kFirstFolderOffset + 4);
  for (uint16_t i = 0; i < count && offset + 8 <= cabinet.size(); ++i) {
    uint16_t packed = Read16(cabinet, offset + 4);
    blocks.push_back({offset, packed});
    offset += 8 + packed;
  }
  return blocks;
}

// A well-formed cabinet with one empty folder and no file at all (gcab
// refuses to make one).
inline std::string CabinetWithoutFiles() {
  std::string bytes(44, '\0');
  std::memcpy(bytes.data(), "MSCF", 4);
  bytes[8] = 44;                      // cabinet size
  bytes[16] = 44;                     // the file entries would start here
  bytes[24] = 3;                      // format 1.3
  bytes[25] = 1;
  Write16(bytes, 26, 1);              // one folder
  Write16(bytes, kFileCountOffset, 0);
  bytes[36] = 44;                     // the folder's data would start here
  Write16(bytes, 42, 1);              // MSZIP
  return bytes;
}

}  // namespace test
