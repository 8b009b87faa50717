// Helpers shared by the test executables: where the built programs are, a
// scratch directory, starting a program and reading its 32-bit exit code,
// and assertions that print the Win32 error of a failed call.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win32.h"

// Asserts that a Win32 call returned a true value; prints the call and the error.
#define ASSERT_WIN32(call)                                                       \
  do {                                                                           \
    if (!(call)) {                                                               \
      DWORD win32_error_ = GetLastError();                                       \
      FAIL() << #call << " failed with Win32 error " << win32_error_;            \
    }                                                                            \
  } while (0)

namespace test {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// The directory of the running test executable, with a trailing backslash:
// build\bin\, where the stub, the tools and the test programs are.
std::wstring BinDirectory();
std::wstring StubPath();
// An image packed with the named payload layout (build\bin\layouts\NAME.exe).
std::wstring LayoutPath(const std::wstring& name);

bool FileExists(const std::wstring& path);
// True for a work directory's name: "QX_" + five upper-case hex digits + ".tmp".
bool IsWorkDirectoryName(const std::wstring& name);
std::vector<std::wstring> ListDirectory(const std::wstring& directory);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Removes a directory and everything in it, clearing read-only attributes.
void RemoveTree(const std::wstring& path);
// Nested directories under base (a directory with its final backslash), made
// as needed, whose path with its final backslash is exactly length characters
// long: components of at most 100 characters. Empty when one cannot be made.
std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::wstring& tag = L"t");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory's path with a trailing backslash.
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

struct ProcessResult {
  bool started = false;
  DWORD start_error = 0;
  DWORD exit_code = 0;
};

// Starts application with exactly command_line (CreateProcessW), waits for it
// and returns its full 32-bit exit code. environment, when not empty, is a
// block of NAME=VALUE strings for the child (otherwise it inherits ours).
ProcessResult RunProcess(const std::wstring& application, const std::wstring& command_line,
                         const std::wstring& current_directory = L"",
                         const std::vector<std::wstring>& environment = {});

// Copies an image into directory under file_name and runs it there with the
// arguments appended to its quoted path.
ProcessResult RunCopiedImage(const std::wstring& image, const std::wstring& directory,
                             const std::wstring& arguments,
                             const std::wstring& file_name = L"installer.exe");

}  // namespace test

namespace test {

// Tests run in parallel in one Wine prefix and share its registry. A test that
// writes the Orvane keys holds this cross-process lock for its whole length.
class RegistryLock {
 public:
  RegistryLock();
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  HANDLE mutex_;
};

// Deletes a registry key and everything below it; absent keys are fine.
void DeleteRegistryTree(HKEY root, const std::wstring& subkey, REGSAM view = 0);

}  // namespace test
