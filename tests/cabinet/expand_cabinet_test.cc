// Expanding the first file of real cabinets (made with gcab) with the
// system's cabinet library, on real files; single system calls are made to
// fail or watched through the test executable's import table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/cabinet_files.h"
#include "payload/cabinet/expand_cabinet.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

using test::ListDirectory;
using Names = std::vector<std::wstring>;

std::string SetupProgramBytes() {
  return test::ReadFileBytes(test::BinDirectory() + L"cabinet_setup.exe");
}

// Counts of the calls the expansion makes, where a test watches them.
int g_opened = 0;
int g_created_for_writing = 0;
struct BasicInfoCall {
  FILE_BASIC_INFO info;
  DWORD size;
};
std::vector<BasicInfoCall> g_basic_info_calls;

void ResetCounts() {
  g_opened = 0;
  g_created_for_writing = 0;
  g_basic_info_calls.clear();
}

class ExpandCabinetTest : public ::testing::Test {
 protected:
  // Writes the cabinet into the scratch directory as SETUP.EX_ and expands
  // it into setup.exe beside it.
  bool Expand(const std::string& cabinet) {
    EXPECT_TRUE(test::WriteFileBytes(source_, cabinet));
    ResetCounts();
    return ExpandCabinet(source_.c_str(), destination_.c_str());
  }

  test::ScratchDirectory scratch_{L"cab"};
  std::wstring source_ = scratch_ / L"SETUP.EX_";
  std::wstring destination_ = scratch_ / L"setup.exe";
};

// Every file opened or created, and every SetFileInformationByHandle call
// with FileBasicInfo, as the product code makes them.
test::ImportPatch* g_create_patch = nullptr;
test::ImportPatch* g_information_patch = nullptr;

HANDLE WINAPI CountingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                  DWORD flags, HANDLE template_file) {
  ++g_opened;
  if (disposition == CREATE_ALWAYS) ++g_created_for_writing;
  return g_create_patch->original<decltype(CreateFileW)>()(name, access, share, security,
                                                           disposition, flags, template_file);
}

BOOL WINAPI RecordingSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                LPVOID information, DWORD size) {
  if (kind == FileBasicInfo) {
    g_basic_info_calls.push_back({*static_cast<FILE_BASIC_INFO*>(information), size});
  }
  return g_information_patch->original<decltype(SetFileInformationByHandle)>()(file, kind,
                                                                              information, size);
}

class WatchedExpansion : public ExpandCabinetTest {
 protected:
  void SetUp() override {
    ResetCounts();
    g_create_patch = &create_;
    g_information_patch = &information_;
    ASSERT_TRUE(create_.active());
    ASSERT_TRUE(information_.active());
  }
  test::ImportPatch create_{"kernel32.dll", "CreateFileW", &CountingCreateFileW};
  test::ImportPatch information_{"kernel32.dll", "SetFileInformationByHandle",
                                 &RecordingSetFileInformationByHandle};
};

TEST_F(WatchedExpansion, OneFileArrivesUnderTheDestinationsOwnName) {
  std::string cabinet = test::ReadCabinet(L"setup");
  ASSERT_TRUE(Expand(cabinet));
  EXPECT_EQ(test::ReadFileBytes(destination_), SetupProgramBytes());
  // Stored inside as cabinet_setup.exe: that name is never used.
  EXPECT_EQ(ListDirectory(scratch_.path()), (Names{L"SETUP.EX_", L"setup.exe"}));
  EXPECT_EQ(test::ReadFileBytes(source_), cabinet);
  EXPECT_EQ(g_created_for_writing, 1);
}

TEST_F(WatchedExpansion, OnlyTheFirstOfSeveralFilesIsWritten) {
  ASSERT_TRUE(Expand(test::ReadCabinet(L"several")));
  EXPECT_EQ(test::ReadFileBytes(destination_), SetupProgramBytes());
  EXPECT_EQ(ListDirectory(scratch_.path()), (Names{L"SETUP.EX_", L"setup.exe"}));
  // The library may announce the second file; it is refused unopened.
  EXPECT_EQ(g_created_for_writing, 1);
}

FILETIME ExpectedCreationTime(SYSTEMTIME local_time) {
  FILETIME local;
  FILETIME utc = {};
  SystemTimeToFileTime(&local_time, &local);
  LocalFileTimeToFileTime(&local, &utc);
  return utc;
}

TEST_F(WatchedExpansion, StoredDateTimeAndAttributesReachTheFile) {
  // 2021-03-04 13:45:10 in the cabinet's DOS form (two-second steps).
  const uint16_t kDate = (41 << 9) | (3 << 5) | 4;
  const uint16_t kTime = (13 << 11) | (45 << 5) | (10 / 2);
  const FILETIME expected_time = ExpectedCreationTime({2021, 3, 4, 4, 13, 45, 10, 0});
  struct Row {
    const char* shows;
    uint16_t stored;
    DWORD handed_over;
  };
  const Row rows[] = {
      {"archive only, as gcab writes it", 0x20, 0x20},
      {"read-only with _A_EXEC, which is dropped", 0x61, 0x21},
      {"read-only, hidden, system; _A_EXEC and _A_NAME_IS_UTF dropped", 0xC7, 0x07},
      {"nothing among 0x27: the attributes stay as created", 0x40, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shows);
    test::RemoveTree(destination_);
    std::string cabinet = test::ReadCabinet(L"setup");
    test::SetFirstEntryStamp(cabinet, kDate, kTime, row.stored);
    ASSERT_TRUE(Expand(cabinet));

    ASSERT_EQ(g_basic_info_calls.size(), 1u);
    const BasicInfoCall& call = g_basic_info_calls[0];
    EXPECT_EQ(call.size, 40u);
    EXPECT_EQ(call.info.CreationTime.LowPart, expected_time.dwLowDateTime);
    EXPECT_EQ(static_cast<DWORD>(call.info.CreationTime.HighPart), expected_time.dwHighDateTime);
    EXPECT_EQ(call.info.LastAccessTime.QuadPart, 0);
    EXPECT_EQ(call.info.LastWriteTime.QuadPart, 0);
    EXPECT_EQ(call.info.ChangeTime.QuadPart, 0);
    EXPECT_EQ(call.info.FileAttributes, row.handed_over);

    WIN32_FILE_ATTRIBUTE_DATA stored = {};
    ASSERT_WIN32(GetFileAttributesExW(destination_.c_str(), GetFileExInfoStandard, &stored));
    EXPECT_EQ(stored.dwFileAttributes & FILE_ATTRIBUTE_READONLY,
              row.handed_over & FILE_ATTRIBUTE_READONLY);
    // Windows keeps a creation time set through the handle; Wine keeps none.
    bool time_kept = stored.ftCreationTime.dwLowDateTime == expected_time.dwLowDateTime &&
                     stored.ftCreationTime.dwHighDateTime == expected_time.dwHighDateTime;
    EXPECT_EQ(time_kept, !test::UnderWine());
    EXPECT_EQ(test::ReadFileBytes(destination_), SetupProgramBytes());
  }
}

// Damaged and empty cabinets: false, and nothing at the destination once the
// call has returned (all handles to it are closed by then).
// Provokes: cabinet.damaged, cabinet.empty
TEST_F(WatchedExpansion, FailedExpansionLeavesNothingAtTheDestination) {
  const std::string good = test::ReadCabinet(L"setup");
  const std::vector<test::DataBlock> blocks = test::FirstFolderBlocks(good);
  ASSERT_GE(blocks.size(), 3u) << "the setup program should span several data blocks";
  const test::DataBlock& middle = blocks[blocks.size() / 2];

  // Each block's packed data is "CK" and a deflate stream. Damage that any
  // decoder must notice: a wrong signature, and the reserved block type 3.
  // (Wine's library does not check the blocks' checksums, so damage that
  // still decodes to the right length goes unseen there.)
  std::string bad_signature = good;
  bad_signature[middle.offset + 8] = 'X';
  std::string reserved_block_type = good;
  reserved_block_type[middle.offset + 10] = static_cast<char>(0x07);
  std::string cut_in_data = good.substr(0, middle.offset + 8 + middle.packed_size / 2);
  std::string cut_read_only = cut_in_data;
  test::SetFirstEntryStamp(cut_read_only, 0x5264, 0x6DA5, 0x21);

  // Whether the destination may have been created on the way: never when
  // there is no first file to announce.
  enum Creation { kMayCreate, kNeverCreated };
  struct Row {
    const char* shows;
    std::string cabinet;
    bool destination_existed;
    Creation creation = kMayCreate;
  };
  const Row rows[] = {
      {"a cabinet with no file", test::CabinetWithoutFiles(), false, kNeverCreated},
      {"cut short inside the header", good.substr(0, 20), false, kNeverCreated},
      {"cut short half-way through the first file", cut_in_data, false},
      {"the cabinet cut to half by the build", test::ReadCabinet(L"cut_short"), false},
      {"one data block with a broken signature", bad_signature, false},
      {"one data block of the reserved type", reserved_block_type, false},
      {"cut short, entry marked read-only", cut_read_only, false},
      {"cut short over an existing destination", cut_in_data, true},
      {"not a cabinet at all", std::string(4096, 'M'), false, kNeverCreated},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shows);
    test::RemoveTree(destination_);
    if (row.destination_existed) ASSERT_TRUE(test::WriteFileBytes(destination_, "older file"));
    EXPECT_FALSE(Expand(row.cabinet));
    EXPECT_EQ(ListDirectory(scratch_.path()), (Names{L"SETUP.EX_"}));
    if (row.creation == kNeverCreated) EXPECT_EQ(g_created_for_writing, 0);
  }
}

// Provokes: cabinet.destination-fails
TEST_F(ExpandCabinetTest, DestinationThatCannotBeCreatedGivesFalse) {
  destination_ = scratch_ / L"missing\\setup.exe";
  EXPECT_FALSE(Expand(test::ReadCabinet(L"setup")));
  EXPECT_EQ(ListDirectory(scratch_.path()), (Names{L"SETUP.EX_"}));
}

// A destination that cannot be replaced is left as it was.
// Provokes: cabinet.destination-fails
TEST_F(ExpandCabinetTest, DestinationHeldOrInTheWayIsLeftAsItWas) {
  const std::string cabinet = test::ReadCabinet(L"setup");
  // A file that another handle holds, sharing only reading.
  ASSERT_TRUE(test::WriteFileBytes(destination_, "older file"));
  HANDLE holder = CreateFileW(destination_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(Expand(cabinet));
  CloseHandle(holder);
  EXPECT_TRUE(test::ReadFileBytes(destination_) == "older file");

  // A directory of that name.
  test::RemoveTree(destination_);
  ASSERT_WIN32(CreateDirectoryW(destination_.c_str(), nullptr));
  EXPECT_FALSE(Expand(cabinet));
  DWORD attributes = GetFileAttributesW(destination_.c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
}

// A cabinet that cannot be opened: missing, held by another handle that
// shares nothing, or a directory. Nothing is created at the destination.
// Provokes: cabinet.unreadable
TEST_F(ExpandCabinetTest, CabinetThatCannotBeOpenedGivesFalse) {
  enum class Source { kMissing, kHeld, kDirectory };
  struct Row {
    const char* shows;
    Source source;
  } rows[] = {
      {"no such file", Source::kMissing},
      {"held by another handle", Source::kHeld},
      {"a directory of that name", Source::kDirectory},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shows);
    test::RemoveTree(source_);
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (row.source == Source::kHeld) {
      ASSERT_TRUE(test::WriteFileBytes(source_, test::ReadCabinet(L"setup")));
      holder = CreateFileW(source_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
    } else if (row.source == Source::kDirectory) {
      ASSERT_WIN32(CreateDirectoryW(source_.c_str(), nullptr));
    }
    EXPECT_FALSE(ExpandCabinet(source_.c_str(), destination_.c_str()));
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    EXPECT_FALSE(test::FileExists(destination_));
  }
}

// A stored date that is no date sets no time; the attributes still travel.
// Provokes: cabinet.finish-unnoticed
TEST_F(WatchedExpansion, StoredDateThatIsNoDateSetsNoTime) {
  std::string cabinet = test::ReadCabinet(L"setup");
  // 1980, month 0, day 0.
  test::SetFirstEntryStamp(cabinet, 0, 0, 0x21);
  ASSERT_TRUE(Expand(cabinet));
  ASSERT_EQ(g_basic_info_calls.size(), 1u);
  EXPECT_EQ(g_basic_info_calls[0].info.CreationTime.QuadPart, 0);
  EXPECT_EQ(g_basic_info_calls[0].info.FileAttributes, 0x21u);
  EXPECT_NE(GetFileAttributesW(destination_.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(test::ReadFileBytes(destination_), SetupProgramBytes());
}

// Source paths without a directory of their own are refused before any
// file is opened, even where the name would find a real cabinet.
// Provokes: cabinet.source-without-backslash
TEST_F(WatchedExpansion, SourceWithoutDirectoryIsRefusedBeforeAnythingIsOpened) {
  ASSERT_TRUE(test::WriteFileBytes(source_, test::ReadCabinet(L"setup")));
  ASSERT_WIN32(SetCurrentDirectoryW(scratch_.path().c_str()));
  ResetCounts();
  for (const wchar_t* source : {L"setup.ex_", L"\\setup.ex_", L"SETUP.EX_"}) {
    SCOPED_TRACE(test::Narrow(source));
    EXPECT_FALSE(ExpandCabinet(source, destination_.c_str()));
  }
  SetCurrentDirectoryW(test::BinDirectory().c_str());
  EXPECT_EQ(g_opened, 0);
  EXPECT_EQ(ListDirectory(scratch_.path()), (Names{L"SETUP.EX_"}));
}

TEST_F(ExpandCabinetTest, DirectoryOutsideTheAnsiCodePageIsFound) {
  const std::wstring folder = L"\u03A9\u03BC\u03AD\u03B3\u03B1-\u6F22\u5B57-\u0416";
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.c_str(), -1, nullptr, 0, nullptr,
                      &lossy);
  ASSERT_TRUE(lossy) << "the name should not survive the ANSI code page";
  ASSERT_WIN32(CreateDirectoryW((scratch_ / folder).c_str(), nullptr));
  source_ = scratch_ / folder + L"\\SETUP.EX_";
  destination_ = scratch_ / folder + L"\\setup.exe";
  ASSERT_TRUE(Expand(test::ReadCabinet(L"setup")));
  EXPECT_EQ(test::ReadFileBytes(destination_), SetupProgramBytes());
}

}  // namespace
