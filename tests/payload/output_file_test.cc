// OutputFile on real files: how it is created, shared, replaced, closed and
// marked for deletion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/output_file.h"
#include "payload/refused_closes.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

// Counts of the calls a closed object must never make.
int g_close_calls = 0;
int g_mark_calls = 0;
int g_duplicate_calls = 0;

BOOL WINAPI CountingCloseHandle(HANDLE) {
  ++g_close_calls;
  return TRUE;
}
BOOL WINAPI CountingSetFileInformationByHandle(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  ++g_mark_calls;
  return TRUE;
}
BOOL WINAPI CountingDuplicateHandle(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD) {
  ++g_duplicate_calls;
  return TRUE;
}

// What Open asks CreateFileW for.
struct CreateRequest {
  std::wstring path;
  DWORD access, share, disposition, flags;
  bool security, model;
} g_request;
decltype(&CreateFileW) g_real_create_file = nullptr;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
  g_request = {path, access, share, disposition, flags, security != nullptr, model != nullptr};
  return g_real_create_file(path, access, share, security, disposition, flags, model);
}

DWORD OpenError(const std::wstring& path, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD error = GetLastError();
  if (file == INVALID_HANDLE_VALUE) return error;
  CloseHandle(file);
  return ERROR_SUCCESS;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

class OutputFileTest : public ::testing::Test {
 protected:
  test::ScratchDirectory scratch_{L"out"};
};

TEST_F(OutputFileTest, OpenCreatesForWritingAndDeletingWithOnlyDeleteShared) {
  test::ImportPatch create_patch("kernel32.dll", "CreateFileW", &RecordingCreateFileW);
  ASSERT_TRUE(create_patch.active());
  g_real_create_file = create_patch.original<decltype(CreateFileW)>();
  std::wstring path = scratch_ / L"setup.exe";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_NE(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(file.Path().Data()), path);
  EXPECT_EQ(g_request.path, path);
  EXPECT_EQ(g_request.access, 0x40010000u);
  EXPECT_EQ(g_request.share, 4u);
  EXPECT_EQ(g_request.disposition, 2u);
  EXPECT_EQ(g_request.flags, 0x08000080u);
  EXPECT_FALSE(g_request.security);
  EXPECT_FALSE(g_request.model);
}

TEST_F(OutputFileTest, WhileOpenReadersAndWritersAreRefusedButRenameAndDeleteAreAllowed) {
  std::wstring path = scratch_ / L"setup.exe";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  EXPECT_EQ(OpenError(path, GENERIC_READ), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  std::wstring renamed = scratch_ / L"renamed.exe";
  ASSERT_WIN32(MoveFileW(path.c_str(), renamed.c_str()));
  EXPECT_TRUE(test::FileExists(renamed));
  // Writing goes on through the handle after the rename.
  EXPECT_TRUE(WriteAll(file.Handle(), "MZ"));
  ASSERT_WIN32(DeleteFileW(renamed.c_str()));
  file.Close();
  EXPECT_FALSE(test::FileExists(renamed));
  EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
}

TEST_F(OutputFileTest, OpenReplacesAnExistingFile) {
  std::wstring path = scratch_ / L"setup.exe";
  ASSERT_TRUE(test::WriteFileBytes(path, "an older and longer file"));
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  ASSERT_TRUE(WriteAll(file.Handle(), "new"));
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(path), "new");
}

// Provokes: output.create-fails
TEST_F(OutputFileTest, FailedOpenLeavesTheObjectClosedWithCreateFileError) {
  std::wstring path = scratch_ / L"missing\\setup.exe";
  OutputFile file;
  EXPECT_FALSE(file.Open(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(file.Path().IsEmpty());
}

TEST_F(OutputFileTest, OpenOnAnOpenObjectKeepsTheFirstFileAsWritten) {
  std::wstring first = scratch_ / L"first.bin";
  std::wstring second = scratch_ / L"second.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(first.c_str()));
  ASSERT_TRUE(WriteAll(file.Handle(), "first"));
  ASSERT_WIN32(file.Open(second.c_str()));
  EXPECT_EQ(std::wstring(file.Path().Data()), second);
  // The first handle is closed: the file opens for reading again.
  EXPECT_EQ(test::ReadFileBytes(first), "first");
  ASSERT_TRUE(WriteAll(file.Handle(), "second"));
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(second), "second");
}

TEST_F(OutputFileTest, EndOfLifeClosesAndKeepsAnUnmarkedFile) {
  std::wstring path = scratch_ / L"kept.bin";
  {
    OutputFile file;
    ASSERT_WIN32(file.Open(path.c_str()));
    ASSERT_TRUE(WriteAll(file.Handle(), "kept"));
  }
  EXPECT_EQ(test::ReadFileBytes(path), "kept");
}

TEST_F(OutputFileTest, MarkedFileGoesWhenItsHandleCloses) {
  std::wstring path = scratch_ / L"marked.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  ASSERT_WIN32(file.MarkForDeletion());
  // Still open and writable after the mark.
  EXPECT_TRUE(WriteAll(file.Handle(), "still writable"));
  EXPECT_TRUE(test::FileExists(path));
  file.Close();
  EXPECT_FALSE(test::FileExists(path));
}

TEST_F(OutputFileTest, MarkedFileOutlivesCloseWhileADuplicateIsOpen) {
  std::wstring path = scratch_ / L"shared.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  HANDLE duplicate = file.DuplicateHandleForWriter();
  ASSERT_NE(duplicate, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_NE(duplicate, file.Handle());
  EXPECT_TRUE(WriteAll(duplicate, "through the duplicate"));
  ASSERT_WIN32(file.MarkForDeletion());
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(test::FileExists(path));
  CloseHandle(duplicate);
  EXPECT_FALSE(test::FileExists(path));
}

TEST_F(OutputFileTest, ClosedObjectMakesNoSystemCall) {
  test::ImportPatch close_patch("kernel32.dll", "CloseHandle", &CountingCloseHandle);
  test::ImportPatch mark_patch("kernel32.dll", "SetFileInformationByHandle",
                               &CountingSetFileInformationByHandle);
  test::ImportPatch duplicate_patch("kernel32.dll", "DuplicateHandle", &CountingDuplicateHandle);
  ASSERT_TRUE(close_patch.active());
  ASSERT_TRUE(mark_patch.active());
  ASSERT_TRUE(duplicate_patch.active());
  g_close_calls = g_mark_calls = g_duplicate_calls = 0;
  {
    OutputFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(file.Path().IsEmpty());
    file.Close();
    file.Close();
    EXPECT_FALSE(file.MarkForDeletion());
    EXPECT_EQ(file.DuplicateHandleForWriter(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(file.Path().IsEmpty());
  }
  EXPECT_EQ(g_close_calls, 0);
  EXPECT_EQ(g_mark_calls, 0);
  EXPECT_EQ(g_duplicate_calls, 0);
}

BOOL WINAPI FailingDuplicateHandle(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD) {
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return FALSE;
}

// Provokes: output.duplicate-fails
TEST_F(OutputFileTest, FailedDuplicationLeavesTheObjectOpen) {
  std::wstring path = scratch_ / L"single.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  {
    test::ImportPatch duplicate_patch("kernel32.dll", "DuplicateHandle", &FailingDuplicateHandle);
    ASSERT_TRUE(duplicate_patch.active());
    EXPECT_EQ(file.DuplicateHandleForWriter(), INVALID_HANDLE_VALUE);
  }
  EXPECT_TRUE(file.IsOpen());
  EXPECT_TRUE(WriteAll(file.Handle(), "still ours"));
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(path), "still ours");
}

// A file made read-only through its own handle can no longer be marked for
// deletion: the request is refused, and the object and its file stay.
// Provokes: output.mark-fails
TEST_F(OutputFileTest, ReadOnlyFileCannotBeMarkedAndStays) {
  std::wstring path = scratch_ / L"read-only.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  ASSERT_TRUE(WriteAll(file.Handle(), "kept"));
  FILE_BASIC_INFO info = {};
  info.FileAttributes = FILE_ATTRIBUTE_READONLY;
  ASSERT_WIN32(SetFileInformationByHandle(file.Handle(), FileBasicInfo, &info, sizeof(info)));
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_TRUE(file.IsOpen());
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(path), "kept");
}

using payload_test::g_refused_closes;
using payload_test::RefusingCloseHandle;

// Provokes: output.close-fails
TEST_F(OutputFileTest, FailedCloseStillLeavesTheObjectClosed) {
  std::wstring path = scratch_ / L"unclosed.bin";
  OutputFile file;
  ASSERT_WIN32(file.Open(path.c_str()));
  ASSERT_TRUE(WriteAll(file.Handle(), "written"));
  HANDLE handle = file.Handle();
  g_refused_closes.clear();
  {
    test::ImportPatch close_patch("kernel32.dll", "CloseHandle", &RefusingCloseHandle);
    ASSERT_TRUE(close_patch.active());
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(file.Path().IsEmpty());
    // Closed as far as the object knows: no second try.
    file.Close();
  }
  EXPECT_EQ(g_refused_closes, std::vector<HANDLE>{handle});
  CloseHandle(handle);
  EXPECT_EQ(test::ReadFileBytes(path), "written");
}

}  // namespace
