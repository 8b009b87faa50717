// The demo's setup program. It does what the installer expects of any setup:
// it reads where the archive lives from its command line (--bootpack-path,
// --archive-resource-name, --archive-resource-type), opens the installer as
// a data file, finds the archive among its resources and checks it: the 7z
// signature header and the two CRCs the archive carries (of the start header
// and of the header at the archive's end). It installs nothing.
//
// It writes a summary to the file named by --report=PATH when given (the
// installer starts setup without a console) and exits 0 when the archive is
// sound; --exit-code=N makes it end with N instead, to show a failed setup.
#include <windows.h>
#include <shellapi.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

namespace {

constexpr int kBadCommandLine = 20;
constexpr int kInstallerNotOpened = 21;
constexpr int kArchiveNotFound = 22;
constexpr int kNotA7zArchive = 23;
constexpr int kCrcMismatch = 24;

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

template <typename T>
T Read(const uint8_t* at) {
  T value;
  memcpy(&value, at, sizeof(T));
  return value;
}

// The value of "--name=value" among the arguments, or null.
const wchar_t* Switch(int argc, wchar_t** argv, const wchar_t* name) {
  size_t length = wcslen(name);
  for (int i = 1; i < argc; ++i) {
    if (wcsncmp(argv[i], name, length) == 0 && argv[i][length] == L'=') return argv[i] + length + 1;
  }
  return nullptr;
}

class Report {
 public:
  void Line(const wchar_t* format, ...) {
    wchar_t line[2048];
    va_list args;
    va_start(args, format);
    vswprintf(line, 2048, format, args);
    va_end(args);
    text_ += line;
    text_ += L"\n";
  }

  void Save(const wchar_t* path) const {
    if (path == nullptr) return;
    FILE* file = _wfopen(path, L"w, ccs=UTF-8");
    if (file == nullptr) return;
    fputws(text_.c_str(), file);
    fclose(file);
  }

 private:
  std::wstring text_;
};

int CheckArchive(const uint8_t* archive, uint64_t size, Report& report) {
  static const uint8_t kSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
  if (size < 32 || memcmp(archive, kSignature, 6) != 0) {
    report.Line(L"archive: no 7z signature");
    return kNotA7zArchive;
  }
  report.Line(L"archive: 7z signature, format version %u.%u", archive[6], archive[7]);
  uint32_t start_crc = Read<uint32_t>(archive + 8);
  bool start_ok = Crc32(archive + 12, 20) == start_crc;
  report.Line(L"start header CRC %08X: %ls", start_crc, start_ok ? L"ok" : L"MISMATCH");
  if (!start_ok) return kCrcMismatch;
  uint64_t next_offset = Read<uint64_t>(archive + 12);
  uint64_t next_size = Read<uint64_t>(archive + 20);
  uint32_t next_crc = Read<uint32_t>(archive + 28);
  if (next_offset > size - 32 || next_size > size - 32 - next_offset) {
    report.Line(L"end header at %llu (%llu bytes) lies outside the archive", next_offset,
                next_size);
    return kCrcMismatch;
  }
  const uint8_t* next = archive + 32 + next_offset;
  bool next_ok = Crc32(next, static_cast<size_t>(next_size)) == next_crc;
  report.Line(L"end header: %llu bytes at offset %llu, %ls, CRC %08X: %ls", next_size,
              next_offset + 32, next_size && next[0] == 0x17 ? L"compressed" : L"plain", next_crc,
              next_ok ? L"ok" : L"MISMATCH");
  report.Line(L"packed streams: %llu bytes", next_offset);
  return next_ok ? 0 : kCrcMismatch;
}

int Run(int argc, wchar_t** argv, Report& report) {
  report.Line(L"setup's command line: %ls", GetCommandLineW());
  const wchar_t* installer = Switch(argc, argv, L"--bootpack-path");
  const wchar_t* name = Switch(argc, argv, L"--archive-resource-name");
  const wchar_t* type = Switch(argc, argv, L"--archive-resource-type");
  if (installer == nullptr || name == nullptr || type == nullptr) {
    report.Line(L"missing --bootpack-path, --archive-resource-name or --archive-resource-type");
    return kBadCommandLine;
  }
  HMODULE image =
      LoadLibraryExW(installer, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) {
    report.Line(L"cannot open %ls (error %lu)", installer, GetLastError());
    return kInstallerNotOpened;
  }
  int result = kArchiveNotFound;
  HRSRC resource = FindResourceW(image, name, type);
  HGLOBAL loaded = resource ? LoadResource(image, resource) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  DWORD size = resource ? SizeofResource(image, resource) : 0;
  if (data == nullptr || size == 0) {
    report.Line(L"archive %ls of type %ls not found in %ls (error %lu)", name, type, installer,
                GetLastError());
  } else {
    report.Line(L"archive %ls (type %ls) in %ls: %lu bytes", name, type, installer, size);
    result = CheckArchive(static_cast<const uint8_t*>(data), size, report);
  }
  FreeLibrary(image);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Report report;
  int result = Run(argc, argv, report);
  const wchar_t* forced = Switch(argc, argv, L"--exit-code");
  if (result == 0 && forced != nullptr) result = static_cast<int>(wcstoul(forced, nullptr, 10));
  report.Line(L"setup exits with %d", result);
  report.Save(Switch(argc, argv, L"--report"));
  return result;
}
