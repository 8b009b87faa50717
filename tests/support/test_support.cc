#include "support/test_support.h"

#include <algorithm>

namespace test {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::wstring BinDirectory() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L'\\') + 1);
}

std::wstring StubPath() { return BinDirectory() + L"bootpack.exe"; }

std::wstring LayoutPath(const std::wstring& name) {
  return BinDirectory() + L"layouts\\" + name + L".exe";
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsWorkDirectoryName(const std::wstring& name) {
  if (name.size() != 12 || name.compare(0, 3, L"QX_") != 0 || name.compare(8, 4, L".tmp") != 0) {
    return false;
  }
  for (size_t i = 3; i < 8; ++i) {
    wchar_t c = name[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
  }
  return true;
}

std::vector<std::wstring> ListDirectory(const std::wstring& directory) {
  std::vector<std::wstring> names;
  std::wstring pattern = directory;
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((pattern + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  CloseHandle(file);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

void RemoveTree(const std::wstring& path) {
  std::wstring base = path;
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  DWORD attributes = GetFileAttributesW(base.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(base.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    for (const std::wstring& name : ListDirectory(base)) RemoveTree(base + L"\\" + name);
    RemoveDirectoryW(base.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(base.c_str());
  } else {
    DeleteFileW(base.c_str());
  }
}

std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length) {
  std::wstring path = base;
  if (path.size() + 1 == length) return {};  // no room for a name and its backslash
  while (path.size() < length) {
    size_t remaining = length - path.size();
    // Never leave 1: a component needs a name and its backslash.
    size_t take = remaining <= 100 ? remaining : (remaining - 100 >= 2 ? 100 : 50);
    path += std::wstring(take - 1, L'd') + L"\\";
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return {};
    }
  }
  return path.size() == length ? path : std::wstring();
}

ScratchDirectory::ScratchDirectory(const std::wstring& tag) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static unsigned counter = 0;
  for (;;) {
    std::wstring candidate = std::wstring(temp) + L"bp-" + tag + L"-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(++counter);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate + L"\\";
      return;
    }
  }
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(path_); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(other.process_), start_error_(other.start_error_) {
  other.process_ = nullptr;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (process_ != nullptr) CloseHandle(process_);
    process_ = other.process_;
    start_error_ = other.start_error_;
    other.process_ = nullptr;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (process_ != nullptr) CloseHandle(process_);
}

ProcessResult ChildProcess::Wait() {
  ProcessResult result;
  result.start_error = start_error_;
  if (process_ == nullptr) return result;
  result.started = true;
  WaitForSingleObject(process_, INFINITE);
  GetExitCodeProcess(process_, &result.exit_code);
  return result;
}

ChildProcess StartProcess(const std::wstring& application, const std::wstring& command_line,
                          const std::wstring& current_directory,
                          const std::vector<std::wstring>& environment) {
  ChildProcess child;
  std::wstring command = command_line;
  std::wstring block;
  for (const std::wstring& entry : environment) block += entry + L'\0';
  block += L'\0';
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  DWORD flags = environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT;
  if (!CreateProcessW(application.c_str(), command.data(), nullptr, nullptr, FALSE, flags,
                      environment.empty() ? nullptr : block.data(),
                      current_directory.empty() ? nullptr : current_directory.c_str(), &startup,
                      &process)) {
    child.start_error_ = GetLastError();
    return child;
  }
  CloseHandle(process.hThread);
  child.process_ = process.hProcess;
  return child;
}

ProcessResult RunProcess(const std::wstring& application, const std::wstring& command_line,
                         const std::wstring& current_directory,
                         const std::vector<std::wstring>& environment) {
  return StartProcess(application, command_line, current_directory, environment).Wait();
}

ProcessResult RunCopiedImage(const std::wstring& image, const std::wstring& directory,
                             const std::wstring& arguments, const std::wstring& file_name) {
  std::wstring copy = directory + file_name;
  if (!CopyFileW(image.c_str(), copy.c_str(), FALSE)) {
    ProcessResult failed;
    failed.start_error = GetLastError();
    return failed;
  }
  std::wstring command = L"\"" + copy + L"\"";
  if (!arguments.empty()) command += L" " + arguments;
  return RunProcess(copy, command);
}

}  // namespace test

namespace test {

RegistryLock::RegistryLock() {
  mutex_ = CreateMutexW(nullptr, FALSE, L"Local\\bootpack-tests-registry");
  DWORD wait = WaitForSingleObject(mutex_, INFINITE);
  (void)wait;  // WAIT_ABANDONED still hands us the lock
}

RegistryLock::~RegistryLock() {
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
}

void DeleteRegistryTree(HKEY root, const std::wstring& subkey, REGSAM view) {
  RegDeleteTreeW(root, subkey.c_str());
  if (view != 0) RegDeleteKeyExW(root, subkey.c_str(), view, 0);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(root, subkey.c_str(), view, 0);
  }
}

}  // namespace test
