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

// Cabinets with stored (uncompressed) data, written here because gcab makes
// no cabinet sets. A file entry's folder is 0 or one of the continuation
// marks; a data block whose unpacked size is 0 is finished at the start of
// the next cabinet of the set.
constexpr uint16_t kContinuedFromPrevious = 0xFFFD;
constexpr uint16_t kContinuedToNext = 0xFFFE;
constexpr size_t kStoredBlockSize = 0x8000;

struct StoredFile {
  std::string name;
  uint32_t size;
  uint32_t folder_offset;
  uint16_t folder;
};

struct StoredBlock {
  std::string data;
  uint16_t unpacked_size;
};

inline void Append16(std::string& bytes, uint16_t value) {
  bytes += static_cast<char>(value & 0xFF);
  bytes += static_cast<char>(value >> 8);
}

inline void Append32(std::string& bytes, uint32_t value) {
  Append16(bytes, static_cast<uint16_t>(value & 0xFFFF));
  Append16(bytes, static_cast<uint16_t>(value >> 16));
}

// One cabinet of set 0x5EED with one stored folder. previous and next name
// the neighbouring cabinets of the set beside it; empty when there is none.
inline std::string StoredCabinet(uint16_t index, const std::string& previous,
                                 const std::string& next, const std::vector<StoredFile>& files,
                                 const std::vector<StoredBlock>& blocks) {
  std::string links;
  uint16_t flags = 0;
  if (!previous.empty()) {
    flags |= 0x1;
    links += previous + '\0' + "previous disk" + '\0';
  }
  if (!next.empty()) {
    flags |= 0x2;
    links += next + '\0' + "next disk" + '\0';
  }
  std::string entries;
  for (const StoredFile& file : files) {
    Append32(entries, file.size);
    Append32(entries, file.folder_offset);
    Append16(entries, file.folder);
    Append16(entries, 0x5264);  // 2021-03-04
    Append16(entries, 0x6DA5);  // 13:45:10
    Append16(entries, 0x20);    // archive
    entries += file.name + '\0';
  }
  std::string data;
  for (const StoredBlock& block : blocks) {
    Append32(data, 0);  // no checksum
    Append16(data, static_cast<uint16_t>(block.data.size()));
    Append16(data, block.unpacked_size);
    data += block.data;
  }
  const uint32_t folder_at = static_cast<uint32_t>(36 + links.size());
  const uint32_t files_at = folder_at + 8;
  const uint32_t data_at = files_at + static_cast<uint32_t>(entries.size());
  std::string bytes = "MSCF";
  Append32(bytes, 0);
  Append32(bytes, data_at + static_cast<uint32_t>(data.size()));
  Append32(bytes, 0);
  Append32(bytes, files_at);
  Append32(bytes, 0);
  bytes += '\x03';  // format 1.3
  bytes += '\x01';
  Append16(bytes, 1);  // one folder
  Append16(bytes, static_cast<uint16_t>(files.size()));
  Append16(bytes, flags);
  Append16(bytes, 0x5EED);
  Append16(bytes, index);
  bytes += links;
  Append32(bytes, data_at);
  Append16(bytes, static_cast<uint16_t>(blocks.size()));
  Append16(bytes, 0);  // stored
  return bytes + entries + data;
}

inline std::vector<StoredBlock> StoredBlocks(const std::string& bytes) {
  std::vector<StoredBlock> blocks;
  for (size_t at = 0; at < bytes.size(); at += kStoredBlockSize) {
    std::string part = bytes.substr(at, kStoredBlockSize);
    blocks.push_back({part, static_cast<uint16_t>(part.size())});
  }
  return blocks;
}

// A set of two cabinets, "first" and "second" by the names given: the first
// holds only the beginning of spanning, whose last data block is split
// between the two; the second holds the rest of it, then all of whole.
struct CabinetSet {
  std::string first;
  std::string second;
};

inline CabinetSet SpannedCabinets(const std::string& first_name, const std::string& second_name,
                                  const std::string& spanning, const std::string& whole) {
  std::vector<StoredBlock> first_blocks = StoredBlocks(spanning);
  const StoredBlock split = first_blocks.back();
  const size_t half = split.data.size() / 2;
  first_blocks.back() = {split.data.substr(0, half), 0};
  std::vector<StoredBlock> second_blocks = {{split.data.substr(half), split.unpacked_size}};
  for (const StoredBlock& block : StoredBlocks(whole)) second_blocks.push_back(block);

  const uint32_t spanning_size = static_cast<uint32_t>(spanning.size());
  CabinetSet set;
  set.first = StoredCabinet(0, "", second_name, {{"spanning.bin", spanning_size, 0, kContinuedToNext}},
                            first_blocks);
  set.second = StoredCabinet(
      1, first_name, "",
      {{"spanning.bin", spanning_size, 0, kContinuedFromPrevious},
       {"whole.bin", static_cast<uint32_t>(whole.size()), spanning_size, 0}},
      second_blocks);
  return set;
}

}  // namespace test
