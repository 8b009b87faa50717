// Helpers shared by the test executables: where the built programs are, a
// scratch directory, starting a program and reading its 32-bit exit code,
// and assertions that print the Win32 error of a failed call.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win32.h"
#include "support/narrow_text.h"

// Asserts that a Win32 call returned a true value; prints the call and the error.
#define ASSERT_WIN32(call)                                                       \
  do {                                                                           \
    if (!(call)) {                                                               \
      DWORD win32_error_ = GetLastError();                                       \
      FAIL() << #call << " failed with Win32 error " << win32_error_;            \
    }                                                                            \
  } while (0)

namespace test {

std::wstring Widen(const std::string& text);

// The directory of the running test executable, with a trailing backslash:
// build\bin\, where the stub, the tools and the test programs are.
std::wstring BinDirectory();
std::wstring StubPath();
// An image packed with the named payload layout (build\bin\layouts\NAME.exe).
std::wstring LayoutPath(const std::wstring& name);

// True under Wine, whose ntdll alone exports wine_get_version. Where Wine and
// Windows differ in a way a test sees, the test expects Windows' documented
// behaviour unless this is true.
bool UnderWine();

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

// A child process that has been started and not yet waited for, so that a
// test can start several before it waits for any. Move-only; the process
// handle is closed when the object goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  bool started() const { return process_ != nullptr; }
  DWORD start_error() const { return start_error_; }
  // The process handle, for waiting on several children at once.
  HANDLE handle() const { return process_; }
  // Waits for the child to end; its full 32-bit exit code.
  ProcessResult Wait();

 private:
  friend ChildProcess StartProcess(const std::wstring&, const std::wstring&, const std::wstring&,
                                   const std::vector<std::wstring>&);
  HANDLE process_ = nullptr;
  DWORD start_error_ = 0;
};

// Starts application with exactly command_line (CreateProcessW) and returns
// at once. environment, when not empty, is a block of NAME=VALUE strings for
// the child (otherwise it inherits ours).
ChildProcess StartProcess(const std::wstring& application, const std::wstring& command_line,
                          const std::wstring& current_directory = L"",
                          const std::vector<std::wstring>& environment = {});

// StartProcess, then waits for the child and returns its exit code.
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
// writes the Orvane keys, or any other key under Software, holds this
// cross-process lock for as long as its keys exist: other tests read those
// keys, or compare the whole Software trees before and after their runs.
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
