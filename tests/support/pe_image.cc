#include "support/pe_image.h"

#include <cstring>

#include "support/test_support.h"

namespace test {

PeImage::PeImage(const std::wstring& path) : bytes_(ReadFileBytes(path)) {
  if (bytes_.size() < sizeof(IMAGE_DOS_HEADER)) return;
  IMAGE_DOS_HEADER dos;
  memcpy(&dos, bytes_.data(), sizeof(dos));
  if (dos.e_magic != IMAGE_DOS_SIGNATURE) return;
  size_t at = static_cast<size_t>(dos.e_lfanew);
  if (at + 4 + sizeof(IMAGE_FILE_HEADER) + sizeof(IMAGE_OPTIONAL_HEADER64) > bytes_.size()) return;
  uint32_t signature;
  memcpy(&signature, bytes_.data() + at, 4);
  if (signature != IMAGE_NT_SIGNATURE) return;
  memcpy(&file_header_, bytes_.data() + at + 4, sizeof(file_header_));
  memcpy(&optional_, bytes_.data() + at + 4 + sizeof(file_header_), sizeof(optional_));
  if (optional_.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return;
  size_t section_at = at + 4 + sizeof(file_header_) + file_header_.SizeOfOptionalHeader;
  for (int i = 0; i < file_header_.NumberOfSections; ++i) {
    IMAGE_SECTION_HEADER section;
    if (section_at + sizeof(section) > bytes_.size()) return;
    memcpy(&section, bytes_.data() + section_at, sizeof(section));
    sections_.push_back(section);
    section_at += sizeof(section);
  }
  ok_ = true;
}

const uint8_t* PeImage::AtRva(uint32_t rva, uint32_t size) const {
  for (const IMAGE_SECTION_HEADER& section : sections_) {
    if (rva >= section.VirtualAddress &&
        static_cast<uint64_t>(rva) + size <= section.VirtualAddress + section.SizeOfRawData) {
      size_t offset = section.PointerToRawData + (rva - section.VirtualAddress);
      if (offset + size > bytes_.size()) return nullptr;
      return reinterpret_cast<const uint8_t*>(bytes_.data()) + offset;
    }
  }
  return nullptr;
}

std::vector<ImportedDll> PeImage::Imports() const {
  std::vector<ImportedDll> dlls;
  const IMAGE_DATA_DIRECTORY& dir = optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (uint32_t rva = dir.VirtualAddress; dir.VirtualAddress != 0;
       rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* descriptor =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(AtRva(rva, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
    if (descriptor == nullptr || descriptor->Name == 0) break;
    ImportedDll dll;
    dll.name = reinterpret_cast<const char*>(AtRva(descriptor->Name));
    uint32_t thunks = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk
                                                     : descriptor->FirstThunk;
    for (uint32_t t = thunks;; t += 8) {
      const uint8_t* thunk = AtRva(t, 8);
      if (thunk == nullptr) break;
      uint64_t value;
      memcpy(&value, thunk, 8);
      if (value == 0) break;
      if (value & IMAGE_ORDINAL_FLAG64) {
        dll.functions.push_back("#" + std::to_string(value & 0xFFFF));
      } else {
        dll.functions.push_back(
            reinterpret_cast<const char*>(AtRva(static_cast<uint32_t>(value) + 2)));
      }
    }
    dlls.push_back(dll);
  }
  return dlls;
}

namespace {

std::wstring EntryName(const uint8_t* root, const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) {
  if (!entry.NameIsString) return L"#" + std::to_wstring(entry.Id);
  const uint8_t* text = root + entry.NameOffset;
  uint16_t length;
  memcpy(&length, text, 2);
  std::wstring name(length, L'\0');
  memcpy(name.data(), text + 2, length * 2);
  return name;
}

const IMAGE_RESOURCE_DIRECTORY_ENTRY* Entries(const uint8_t* directory) {
  return reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(
      directory + sizeof(IMAGE_RESOURCE_DIRECTORY));
}

int EntryCount(const uint8_t* directory) {
  const auto* header = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(directory);
  return header->NumberOfNamedEntries + header->NumberOfIdEntries;
}

}  // namespace

std::vector<ResourceEntry> PeImage::Resources() const {
  std::vector<ResourceEntry> resources;
  const IMAGE_DATA_DIRECTORY& dir = optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
  if (dir.VirtualAddress == 0) return resources;
  const uint8_t* root = AtRva(dir.VirtualAddress, dir.Size);
  if (root == nullptr) return resources;
  for (int t = 0; t < EntryCount(root); ++t) {
    const auto& type = Entries(root)[t];
    const uint8_t* names = root + type.OffsetToDirectory;
    for (int n = 0; n < EntryCount(names); ++n) {
      const auto& name = Entries(names)[n];
      const uint8_t* languages = root + name.OffsetToDirectory;
      for (int l = 0; l < EntryCount(languages); ++l) {
        const auto& language = Entries(languages)[l];
        const auto* data =
            reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY*>(root + language.OffsetToData);
        resources.push_back({EntryName(root, type), EntryName(root, name), language.Id,
                             data->Size, data->OffsetToData});
      }
    }
  }
  return resources;
}

}  // namespace test
