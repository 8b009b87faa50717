// Reads the parts of an image that Windows and the shell use besides code:
// the load configuration, the icon group and the version block's raw layout.
// Works on the file's bytes through PeImage, independently of the loader and
// of the packer that wrote them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/pe_image.h"

namespace test {

// The fields of the 64-bit load configuration these tests look at, by offset.
struct LoadConfig {
  bool present = false;
  uint32_t size = 0;
  uint16_t dependent_load_flags = 0;
  uint64_t guard_check_function_pointer = 0;
  uint64_t guard_dispatch_function_pointer = 0;
  uint64_t guard_function_table = 0;
  uint64_t guard_function_count = 0;
  uint32_t guard_flags = 0;
};

template <typename T>
T ReadAt(const uint8_t* at) {
  T value;
  memcpy(&value, at, sizeof(T));
  return value;
}

inline LoadConfig ReadLoadConfig(const PeImage& image) {
  LoadConfig config;
  const IMAGE_DATA_DIRECTORY& dir =
      image.optional_header().DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (dir.VirtualAddress == 0 || dir.Size < 148) return config;
  const uint8_t* at = image.AtRva(dir.VirtualAddress, dir.Size);
  if (at == nullptr) return config;
  config.present = true;
  config.size = ReadAt<uint32_t>(at);
  config.dependent_load_flags = ReadAt<uint16_t>(at + 78);
  config.guard_check_function_pointer = ReadAt<uint64_t>(at + 112);
  config.guard_dispatch_function_pointer = ReadAt<uint64_t>(at + 120);
  config.guard_function_table = ReadAt<uint64_t>(at + 128);
  config.guard_function_count = ReadAt<uint64_t>(at + 136);
  config.guard_flags = ReadAt<uint32_t>(at + 144);
  return config;
}

// The section that holds an RVA, or null.
inline const IMAGE_SECTION_HEADER* SectionOf(const PeImage& image, uint32_t rva) {
  for (const IMAGE_SECTION_HEADER& section : image.sections()) {
    if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
      return &section;
    }
  }
  return nullptr;
}

inline bool IsCode(const PeImage& image, uint32_t rva) {
  const IMAGE_SECTION_HEADER* section = SectionOf(image, rva);
  return section != nullptr && (section->Characteristics & IMAGE_SCN_MEM_EXECUTE);
}

// RVAs of every "call [rip + disp32]" (FF 15) in the executable sections
// whose memory operand is the given RVA.
inline int CountIndirectCallsThrough(const PeImage& image, uint32_t pointer_rva) {
  int count = 0;
  for (const IMAGE_SECTION_HEADER& section : image.sections()) {
    if (!(section.Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
    const uint8_t* code = image.AtRva(section.VirtualAddress, section.SizeOfRawData);
    if (code == nullptr) continue;
    for (uint32_t i = 0; i + 6 <= section.SizeOfRawData; ++i) {
      if (code[i] != 0xFF || code[i + 1] != 0x15) continue;
      int32_t displacement = ReadAt<int32_t>(code + i + 2);
      uint32_t next = section.VirtualAddress + i + 6;
      if (next + displacement == pointer_rva) ++count;
    }
  }
  return count;
}

// One entry of an icon group (GRPICONDIRENTRY).
struct IconGroupEntry {
  int width = 0;  // 256 for the stored 0
  int height = 0;
  int color_count = 0;
  int planes = 0;
  int bit_count = 0;
  uint32_t bytes = 0;
  uint16_t id = 0;
};

inline std::vector<IconGroupEntry> ReadIconGroup(const uint8_t* data, uint32_t size) {
  std::vector<IconGroupEntry> entries;
  if (size < 6 || ReadAt<uint16_t>(data + 2) != 1) return entries;
  uint16_t count = ReadAt<uint16_t>(data + 4);
  if (6u + 14u * count > size) return entries;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* e = data + 6 + 14 * i;
    IconGroupEntry entry;
    entry.width = e[0] == 0 ? 256 : e[0];
    entry.height = e[1] == 0 ? 256 : e[1];
    entry.color_count = e[2];
    entry.planes = ReadAt<uint16_t>(e + 4);
    entry.bit_count = ReadAt<uint16_t>(e + 6);
    entry.bytes = ReadAt<uint32_t>(e + 8);
    entry.id = ReadAt<uint16_t>(e + 12);
    entries.push_back(entry);
  }
  return entries;
}

// Width, height and bits per pixel of one icon image, from its own header:
// a PNG's IHDR or a BITMAPINFOHEADER (whose height counts the mask too).
struct IconImageFormat {
  bool png = false;
  int width = 0;
  int height = 0;
  int bits = 0;
};

inline uint32_t BigEndian32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

inline IconImageFormat ReadIconImage(const uint8_t* data, uint32_t size) {
  IconImageFormat format;
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 33 && memcmp(data, kPng, 8) == 0 && memcmp(data + 12, "IHDR", 4) == 0) {
    format.png = true;
    format.width = static_cast<int>(BigEndian32(data + 16));
    format.height = static_cast<int>(BigEndian32(data + 20));
    uint8_t depth = data[24], colour_type = data[25];
    format.bits = colour_type == 6 ? depth * 4 : 0;  // RGBA only
    return format;
  }
  if (size < sizeof(BITMAPINFOHEADER)) return format;
  BITMAPINFOHEADER header = ReadAt<BITMAPINFOHEADER>(data);
  if (header.biSize != sizeof(BITMAPINFOHEADER)) return format;
  format.width = header.biWidth;
  format.height = header.biHeight / 2;
  format.bits = header.biBitCount;
  return format;
}

// The keys of a version block's nodes, depth first, each as "path/key":
// "VS_VERSION_INFO", "VS_VERSION_INFO/StringFileInfo", ...
inline void CollectVersionKeys(const uint8_t* node, uint32_t available, const std::wstring& path,
                               std::vector<std::wstring>& keys) {
  if (available < 6) return;
  uint16_t length = ReadAt<uint16_t>(node);
  uint16_t value_length = ReadAt<uint16_t>(node + 2);
  uint16_t type = ReadAt<uint16_t>(node + 4);
  if (length < 6 || length > available) return;
  std::wstring key;
  uint32_t at = 6;
  for (; at + 2 <= length; at += 2) {
    wchar_t c = ReadAt<wchar_t>(node + at);
    if (c == 0) break;
    key += c;
  }
  at = (at + 2 + 3) & ~3u;
  std::wstring here = path.empty() ? key : path + L"/" + key;
  keys.push_back(here);
  uint32_t value_bytes = type == 1 ? value_length * 2u : value_length;
  at += value_bytes;
  while (true) {
    at = (at + 3) & ~3u;
    if (at + 6 > length) break;
    uint16_t child_length = ReadAt<uint16_t>(node + at);
    if (child_length < 6) break;
    CollectVersionKeys(node + at, length - at, here, keys);
    at += child_length;
  }
}

}  // namespace test
