// WriteBlobToFile on real files, with WriteFile counted or made to fail
// through the test executable's import table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/output_file.h"
#include "payload/write_blob_to_file.h"
#include "payload/refused_closes.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

constexpr uint64_t kEightMiB = 8388608;

// Every WriteFile request that reaches the import, in order; a request whose
// index is fail_at fails with fail_error instead of reaching the disk.
std::vector<DWORD> g_write_sizes;
size_t g_fail_at = SIZE_MAX;
DWORD g_fail_error = 0;
decltype(&WriteFile) g_real_write_file = nullptr;

BOOL WINAPI RecordingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
  g_write_sizes.push_back(size);
  if (g_write_sizes.size() - 1 == g_fail_at) {
    SetLastError(g_fail_error);
    return FALSE;
  }
  return g_real_write_file(file, data, size, written, overlapped);
}

// Clean-up that leaves another error behind must not hide WriteFile's.
decltype(&SetFileInformationByHandle) g_real_set_information = nullptr;
bool g_marking_fails = false;

BOOL WINAPI NoisySetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            LPVOID info, DWORD size) {
  if (g_marking_fails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL ok = g_real_set_information(file, kind, info, size);
  SetLastError(ERROR_GEN_FAILURE);
  return ok;
}

int g_create_calls = 0;
decltype(&CreateFileW) g_real_create_file = nullptr;

HANDLE WINAPI CountingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE model) {
  ++g_create_calls;
  return g_real_create_file(path, access, share, security, disposition, flags, model);
}

class WriteBlob : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(write_patch_.active());
    g_real_write_file = write_patch_.original<decltype(WriteFile)>();
    g_write_sizes.clear();
    g_fail_at = SIZE_MAX;
  }

  // Bytes whose every 8 MiB block differs, so a block written twice or at
  // the wrong offset shows.
  static std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 8191) & 0xFF);
    return bytes;
  }

  test::ScratchDirectory scratch_{L"blob"};
  test::ImportPatch write_patch_{"kernel32.dll", "WriteFile", &RecordingWriteFile};
};

TEST_F(WriteBlob, WritesInRequestsOfAtMostEightMiB) {
  struct Row {
    uint64_t size;
    std::vector<DWORD> requests;
  } rows[] = {
      {1, {1}},
      {kEightMiB - 1, {8388607}},
      {kEightMiB, {8388608}},
      {kEightMiB + 1, {8388608, 1}},
      {3 * kEightMiB, {8388608, 8388608, 8388608}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    std::string bytes = Pattern(row.size);
    std::wstring path = scratch_ / L"blob.bin";
    g_write_sizes.clear();
    ResourceBlob blob = {bytes.data(), row.size};
    ASSERT_WIN32(WriteBlobToFile(blob, path.c_str()));
    EXPECT_EQ(g_write_sizes, row.requests);
    EXPECT_TRUE(test::ReadFileBytes(path) == bytes);
  }
}

TEST_F(WriteBlob, EmptyBlobGivesAnEmptyFileWithoutWriting) {
  std::wstring path = scratch_ / L"empty.bin";
  ResourceBlob blob = {nullptr, 0};
  ASSERT_WIN32(WriteBlobToFile(blob, path.c_str()));
  EXPECT_TRUE(test::FileExists(path));
  EXPECT_EQ(test::ReadFileBytes(path), "");
  EXPECT_TRUE(g_write_sizes.empty());
}

TEST_F(WriteBlob, ReplacesAnExistingFile) {
  std::wstring path = scratch_ / L"old.bin";
  ASSERT_TRUE(test::WriteFileBytes(path, std::string(5000, 'o')));
  ResourceBlob blob = {"new", 3};
  ASSERT_WIN32(WriteBlobToFile(blob, path.c_str()));
  EXPECT_EQ(test::ReadFileBytes(path), "new");
}

// Provokes: output.create-fails
TEST_F(WriteBlob, FailsWithCreateFileErrorAndCreatesNothing) {
  ASSERT_WIN32(CreateDirectoryW((scratch_ / L"folder").c_str(), nullptr));
  struct Row {
    const char* what;
    std::wstring path;
    DWORD error;
  } rows[] = {
      {"missing folder", scratch_ / L"missing\\setup.exe", ERROR_PATH_NOT_FOUND},
      {"a folder in the way", scratch_ / L"folder", ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ResourceBlob blob = {"MZ", 2};
    SetLastError(0);
    EXPECT_FALSE(WriteBlobToFile(blob, row.path.c_str()));
    EXPECT_EQ(GetLastError(), row.error);
    EXPECT_TRUE(g_write_sizes.empty());
  }
  EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"folder"});
}

// Provokes: output.create-fails
TEST_F(WriteBlob, FileHeldByAnotherWriterIsASharingViolation) {
  std::wstring path = scratch_ / L"held.bin";
  ASSERT_TRUE(test::WriteFileBytes(path, "held"));
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ResourceBlob blob = {"MZ", 2};
  EXPECT_FALSE(WriteBlobToFile(blob, path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(holder);
  EXPECT_EQ(test::ReadFileBytes(path), "held");
}

// Provokes: output.path-too-long
TEST_F(WriteBlob, PathOf259IsAcceptedAnd260RefusedBeforeAnySystemCall) {
  test::ImportPatch create_patch("kernel32.dll", "CreateFileW", &CountingCreateFileW);
  ASSERT_TRUE(create_patch.active());
  g_real_create_file = create_patch.original<decltype(CreateFileW)>();
  std::wstring base = scratch_.path();
  ASSERT_LT(base.size(), 200u);
  std::wstring path_259 = base + std::wstring(259 - base.size() - 4, L'a') + L".bin";
  std::wstring path_260 = base + std::wstring(260 - base.size() - 4, L'b') + L".bin";
  ASSERT_EQ(path_259.size(), 259u);
  ASSERT_EQ(path_260.size(), 260u);
  ResourceBlob blob = {"MZ", 2};

  g_create_calls = 0;
  ASSERT_WIN32(WriteBlobToFile(blob, path_259.c_str()));
  EXPECT_EQ(g_create_calls, 1);
  EXPECT_EQ(test::ReadFileBytes(path_259), "MZ");

  g_create_calls = 0;
  SetLastError(12345);
  EXPECT_FALSE(WriteBlobToFile(blob, path_260.c_str()));
  EXPECT_EQ(g_create_calls, 0);
  EXPECT_EQ(GetLastError(), 12345u) << "no error code of its own";
  EXPECT_EQ(g_write_sizes.size(), 1u) << "only the 259-character file was written";
}

// Provokes: output.write-fails
TEST_F(WriteBlob, FailedWriteLeavesNoFileAndReportsWriteFileError) {
  test::ImportPatch mark_patch("kernel32.dll", "SetFileInformationByHandle",
                               &NoisySetFileInformationByHandle);
  ASSERT_TRUE(mark_patch.active());
  g_real_set_information = mark_patch.original<decltype(SetFileInformationByHandle)>();
  struct Row {
    const char* what;
    uint64_t size;
    size_t fail_at;
  } rows[] = {
      {"the only request", 100, 0},
      {"the second request, after 8 MiB reached the disk", kEightMiB + 100, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = Pattern(row.size);
    std::wstring path = scratch_ / L"failed.bin";
    g_write_sizes.clear();
    g_fail_at = row.fail_at;
    g_fail_error = ERROR_DISK_FULL;
    g_marking_fails = false;
    ResourceBlob blob = {bytes.data(), row.size};
    EXPECT_FALSE(WriteBlobToFile(blob, path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(g_write_sizes.size(), row.fail_at + 1);
    EXPECT_FALSE(test::FileExists(path));
  }
}

// Provokes: output.mark-fails
TEST_F(WriteBlob, FailedMarkStillClosesAndReportsWriteFileError) {
  test::ImportPatch mark_patch("kernel32.dll", "SetFileInformationByHandle",
                               &NoisySetFileInformationByHandle);
  ASSERT_TRUE(mark_patch.active());
  g_marking_fails = true;
  g_fail_at = 0;
  g_fail_error = ERROR_HANDLE_DISK_FULL;
  std::wstring path = scratch_ / L"unmarked.bin";
  ResourceBlob blob = {"MZ", 2};
  EXPECT_FALSE(WriteBlobToFile(blob, path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_DISK_FULL));
  g_marking_fails = false;
  // The file could not be marked, so it stays; but it is closed.
  HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << GetLastError();
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
}

using payload_test::g_refused_closes;
using payload_test::RefusingCloseHandle;

// Provokes: output.close-fails
TEST_F(WriteBlob, FailedCloseIsNotReported) {
  struct Row {
    const char* what;
    size_t fail_at;
    bool written;
  } rows[] = {
      {"after the whole blob was written", SIZE_MAX, true},
      {"after a failed write: WriteFile's error is kept", 0, false},
  };
  const std::string bytes = Pattern(1000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring path = scratch_ / L"unclosed.bin";
    g_write_sizes.clear();
    g_fail_at = row.fail_at;
    g_fail_error = ERROR_DISK_FULL;
    g_refused_closes.clear();
    ResourceBlob blob = {bytes.data(), bytes.size()};
    bool written = false;
    DWORD error = 0;
    {
      test::ImportPatch close_patch("kernel32.dll", "CloseHandle", &RefusingCloseHandle);
      ASSERT_TRUE(close_patch.active());
      written = WriteBlobToFile(blob, path.c_str());
      error = GetLastError();
    }
    EXPECT_EQ(written, row.written);
    if (!row.written) EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(g_refused_closes.size(), 1u);
    for (HANDLE handle : g_refused_closes) CloseHandle(handle);
    // Once its handle is really closed, the file is as the result says.
    if (row.written) {
      EXPECT_TRUE(test::ReadFileBytes(path) == bytes);
    } else {
      EXPECT_FALSE(test::FileExists(path));
    }
  }
}

}  // namespace
