// UnpackPayload on packed images: in process on each layout loaded as a
// resource module, with a scratch directory as the work directory, and end
// to end through the stub's exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options/launch_options.h"
#include "payload/unpack_payload.h"
#include "support/import_patch.h"
#include "support/client_state.h"
#include "support/layout_module.h"
#include "support/test_support.h"

namespace {

std::string FixtureBytes(const std::wstring& name) {
  return test::ReadFileBytes(test::BinDirectory() + L"..\\fixtures\\payload\\" + name);
}

struct Unpacked {
  RunOutcome outcome;
  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  int32_t max_delete_attempts = 0;
};

void Unpack(const std::wstring& layout, const std::wstring& work_dir, Unpacked& result) {
  test::LayoutModule image(layout);
  ASSERT_NE(image.get(), nullptr) << "cannot load " << test::Narrow(layout) << ": "
                                  << GetLastError();
  // Stale text in the outputs must not survive the call.
  result.setup_path.Assign(L"stale");
  result.archive_name.Assign(L"stale");
  result.archive_type.Assign(L"XX");
  result.outcome = UnpackPayload(image.get(), work_dir.c_str(), result.setup_path,
                                 result.archive_name, result.archive_type,
                                 result.max_delete_attempts);
}

std::wstring Text(const wchar_t* text) { return text; }

const std::wstring kArchive259 = L"BRISEL" + std::wstring(253, L'X');

// Provokes: unpack.invalid-name.first, unpack.invalid-name.after, unpack.second.first,
// Provokes: unpack.second.after, unpack.long-name.first, unpack.long-name.after,
// Provokes: unpack.no-archive, unpack.no-setup, unpack.scan-ends.integer-id,
// Provokes: unpack.scan-ends.empty
TEST(UnpackPayloadTest, EveryLayoutEndsAsItsResourcesSay) {
  struct Row {
    const wchar_t* layout;
    uint32_t exit_code, extra_code;
    std::wstring archive_name, archive_type;
    std::wstring setup_file;  // in the work directory; empty: setup_path is empty
    std::wstring setup_bytes;  // the fixture the setup file holds
  } rows[] = {
      {L"no_payload", 112, ERROR_FILE_NOT_FOUND, L"", L"", L"", L""},
      {L"payload_other_types_only", 112, ERROR_FILE_NOT_FOUND, L"", L"", L"", L""},
      {L"archive_only", 115, ERROR_FILE_NOT_FOUND, L"BRISEL.7Z", L"BN", L"", L""},
      {L"payload_setup_only", 112, ERROR_FILE_NOT_FOUND, L"", L"", L"", L""},
      {L"payload_plain", 0, 0, L"BRISEL.7Z", L"BN", L"setup.exe", L"setup.bin"},
      // The packer stores names in upper case, as the loader finds them.
      {L"payload_mixed_case_names", 0, 0, L"BRISEL.7Z", L"BN", L"setup.exe", L"setup.bin"},
      {L"payload_setupx", 0, 0, L"BRISEL.7Z", L"BN", L"setup.exe", L"setup.bin"},
      {L"payload_my_setup", 112, ERROR_INVALID_DATA, L"BRISEL.7Z", L"", L"", L""},
      {L"payload_second_archive", 115, ERROR_TOO_MANY_NAMES, L"BRISEL.7Z", L"B7", L"", L""},
      {L"payload_second_setup", 112, ERROR_TOO_MANY_NAMES, L"BRISEL.7Z", L"", L"", L""},
      // The archive's type is recorded only after a scan without error.
      {L"payload_readme_beside_archive", 112, ERROR_INVALID_DATA, L"BRISEL.7Z", L"", L"", L""},
      {L"payload_readme_after_b7_archive", 115, ERROR_INVALID_DATA, L"BRISEL.7Z", L"B7", L"",
       L""},
      {L"payload_b7_setup", 0, 0, L"BRISEL.7Z", L"BN", L"SETUP.EXE", L"setup.bin"},
      {L"payload_b7_setup_own_name", 0, 0, L"BRISEL.DAT", L"B7", L"SETUP-B7.EXE", L"setup.bin"},
      {L"payload_archive_259", 0, 0, kArchive259, L"BN", L"setup.exe", L"setup.bin"},
      {L"payload_setup_260", 112, ERROR_FILENAME_EXCED_RANGE, L"BRISEL.7Z", L"", L"", L""},
      {L"payload_setup_260_after_b7_archive", 115, ERROR_FILENAME_EXCED_RANGE, L"BRISEL.7Z",
       L"B7", L"", L""},
      {L"payload_setup_300", 112, ERROR_FILENAME_EXCED_RANGE, L"BRISEL.7Z", L"", L"", L""},
      {L"payload_integer_identifier", 0, 0, L"BRISEL.7Z", L"BN", L"setup.exe", L"setup.bin"},
      {L"payload_only_integer_identifier", 0, 0, L"BRISEL.7Z", L"B7", L"setup.exe",
       L"setup.bin"},
      // An empty resource ends its type's scan: the setup after it is never seen.
      {L"payload_empty_resource_first", 115, ERROR_FILE_NOT_FOUND, L"BRISEL.7Z", L"BN", L"", L""},
      {L"payload_empty_setup", 115, ERROR_FILE_NOT_FOUND, L"BRISEL.7Z", L"BN", L"", L""},
      {L"payload_two_chunk_setup", 0, 0, L"BRISEL.7Z", L"BN", L"setup.exe",
       L"setup_two_chunks.bin"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.layout));
    test::ScratchDirectory work(L"unpack");
    Unpacked result;
    Unpack(row.layout, work.path(), result);
    EXPECT_EQ(result.outcome.exit_code, row.exit_code);
    EXPECT_EQ(result.outcome.extra_code, row.extra_code);
    EXPECT_EQ(Text(result.archive_name.Data()), row.archive_name);
    EXPECT_EQ(Text(result.archive_type.Data()), row.archive_type);
    EXPECT_EQ(result.max_delete_attempts, 0);
    if (row.setup_file.empty()) {
      EXPECT_EQ(Text(result.setup_path.Data()), L"");
      EXPECT_TRUE(test::ListDirectory(work.path()).empty());
      continue;
    }
    EXPECT_EQ(Text(result.setup_path.Data()), work / row.setup_file);
    EXPECT_EQ(test::ListDirectory(work.path()), std::vector<std::wstring>{row.setup_file});
    std::string expected = FixtureBytes(row.setup_bytes);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(test::ReadFileBytes(work / row.setup_file) == expected);
  }
}

TEST(UnpackPayloadTest, TheStubsOwnImageCarriesNoPayload) {
  test::ScratchDirectory work(L"unpack");
  Unpacked result;
  result.outcome = UnpackPayload(GetModuleHandleW(nullptr), work.path().c_str(),
                                 result.setup_path, result.archive_name, result.archive_type,
                                 result.max_delete_attempts);
  EXPECT_EQ(result.outcome.exit_code, EXIT_ARCHIVE_RESOURCE_FAILED);
  EXPECT_EQ(result.outcome.extra_code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

// A work directory that does not exist, so long that a 12-character setup
// name no longer fits while "setup.exe" still does.
std::wstring LongMissingWorkDir() {
  std::wstring dir = L"C:\\" + std::wstring(245, L'd') + L"\\";
  return dir;
}

// Provokes: unpack.setup-path-too-long
TEST(UnpackPayloadTest, SetupPathThatDoesNotFitEndsWith108AndKeepsTheWorkDir) {
  std::wstring work_dir = LongMissingWorkDir();
  ASSERT_EQ(work_dir.size() + 12, 261u);
  Unpacked result;
  Unpack(L"payload_b7_setup_own_name", work_dir, result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_PATH_TOO_LONG);
  EXPECT_EQ(result.outcome.extra_code, 0u);
  EXPECT_EQ(Text(result.setup_path.Data()), work_dir);
  EXPECT_EQ(Text(result.archive_type.Data()), L"B7");
}

TEST(UnpackPayloadTest, WorkDirThatDoesNotFitEndsWith108AndNamesNoFile) {
  std::wstring work_dir = L"C:\\" + std::wstring(256, L'd') + L"\\";
  ASSERT_EQ(work_dir.size(), 260u);
  Unpacked result;
  Unpack(L"payload_plain", work_dir, result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_PATH_TOO_LONG);
  EXPECT_EQ(result.outcome.extra_code, 0u);
  EXPECT_EQ(Text(result.setup_path.Data()), L"");
}

// Provokes: unpack.write-fails
TEST(UnpackPayloadTest, SetupFileThatCannotBeCreatedEndsWith116AndTheError) {
  std::wstring work_dir = LongMissingWorkDir();
  Unpacked result;
  Unpack(L"payload_plain", work_dir, result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_SETUP_WRITE_FAILED);
  EXPECT_EQ(result.outcome.extra_code, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Text(result.setup_path.Data()), work_dir + L"setup.exe");
}

BOOL WINAPI DiskFullWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

// Provokes: unpack.write-fails
TEST(UnpackPayloadTest, SetupFileThatCannotBeWrittenEndsWith116AndIsGone) {
  test::ImportPatch write_patch("kernel32.dll", "WriteFile", &DiskFullWriteFile);
  ASSERT_TRUE(write_patch.active());
  test::ScratchDirectory work(L"unpack");
  Unpacked result;
  Unpack(L"payload_plain", work.path(), result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_SETUP_WRITE_FAILED);
  EXPECT_EQ(result.outcome.extra_code, static_cast<uint32_t>(ERROR_DISK_FULL));
  EXPECT_EQ(Text(result.setup_path.Data()), work / L"setup.exe");
  EXPECT_TRUE(test::ListDirectory(work.path()).empty());
}

std::vector<DWORD> g_write_sizes;
decltype(&WriteFile) g_real_write_file = nullptr;

BOOL WINAPI RecordingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
  g_write_sizes.push_back(size);
  return g_real_write_file(file, data, size, written, overlapped);
}

TEST(UnpackPayloadTest, SetupIsWrittenStraightFromTheImageInEightMiBRequests) {
  test::ImportPatch write_patch("kernel32.dll", "WriteFile", &RecordingWriteFile);
  ASSERT_TRUE(write_patch.active());
  g_real_write_file = write_patch.original<decltype(WriteFile)>();
  g_write_sizes.clear();
  test::ScratchDirectory work(L"unpack");
  Unpacked result;
  Unpack(L"payload_two_chunk_setup", work.path(), result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_OK);
  EXPECT_EQ(g_write_sizes, (std::vector<DWORD>{8388608, 1}));
}

// A cabinet that the system's cabinet library cannot expand: the setup
// resources of the "BL" layouts are not cabinets.
// Provokes: unpack.expansion-fails
TEST(UnpackPayloadTest, FailedCabinetExpansionEndsWith115AndDeletesTheCabinet) {
  for (int32_t before : {0, 5}) {
    SCOPED_TRACE(before);
    test::ScratchDirectory work(L"unpack");
    Unpacked result;
    result.max_delete_attempts = before;
    Unpack(L"payload_bl_setup", work.path(), result);
    EXPECT_EQ(result.outcome.exit_code, EXIT_SETUP_RESOURCE_FAILED);
    EXPECT_EQ(result.outcome.extra_code, 0u);
    EXPECT_EQ(Text(result.archive_type.Data()), L"BN");
    EXPECT_EQ(Text(result.setup_path.Data()), work / L"setup.exe");
    EXPECT_TRUE(test::ListDirectory(work.path()).empty());
    EXPECT_GE(result.max_delete_attempts, before == 0 ? 1 : before);
  }
}

// Provokes: unpack.cabinet-target-too-long
TEST(UnpackPayloadTest, CabinetWhoseExpandedPathDoesNotFitEndsWith108AndStays) {
  test::ScratchDirectory scratch(L"unpack");
  // work_dir + "SETUP" fits in 259 characters, work_dir + "setup.exe" does not.
  size_t room = 253 - scratch.path().size();
  std::wstring work_dir = scratch.path() + std::wstring(room, L'w') + L"\\";
  ASSERT_EQ(work_dir.size(), 254u);
  // Beyond the 248 characters CreateDirectoryW takes without the prefix.
  ASSERT_WIN32(CreateDirectoryW((L"\\\\?\\" + work_dir).c_str(), nullptr));
  Unpacked result;
  Unpack(L"payload_bl_short_name", work_dir, result);
  EXPECT_EQ(result.outcome.exit_code, EXIT_PATH_TOO_LONG);
  EXPECT_EQ(result.outcome.extra_code, 0u);
  EXPECT_EQ(Text(result.setup_path.Data()), work_dir + L"SETUP");
  EXPECT_EQ(test::ListDirectory(work_dir), std::vector<std::wstring>{L"SETUP"});
  EXPECT_EQ(result.max_delete_attempts, 0);
  DeleteFileW((work_dir + L"SETUP").c_str());
  RemoveDirectoryW((L"\\\\?\\" + work_dir).c_str());
}

// End to end: the packed stub's exit code. The detail values go to the
// updater's key, which the registry tests share.
class PackedStubRun : public ::testing::Test {
 protected:
  ~PackedStubRun() override {
    test::DeleteRegistryTree(HKEY_CURRENT_USER, test::kClientStatePath + kDefaultAppGuid);
  }

  // Runs a copy of the layout in a scratch directory: it ends with exit_code
  // and leaves nothing beside the installer.
  void ExpectRunEndsWith(const wchar_t* layout, DWORD exit_code) {
    test::ScratchDirectory scratch(L"run");
    test::ProcessResult result = test::RunCopiedImage(test::LayoutPath(layout), scratch.path(), L"");
    ASSERT_TRUE(result.started) << "error " << result.start_error;
    EXPECT_EQ(result.exit_code, exit_code);
    EXPECT_EQ(test::ListDirectory(scratch.path()), std::vector<std::wstring>{L"installer.exe"});
  }

  test::RegistryLock lock_;
};

TEST_F(PackedStubRun, MalformedPayloadsEndWithTheirExitCodeAndLeaveNothing) {
  struct Row {
    const wchar_t* layout;
    DWORD exit_code;
  } rows[] = {
      {L"no_payload", 112},
      {L"archive_only", 115},
      {L"payload_setup_only", 112},
      {L"payload_second_archive", 115},
      {L"payload_readme_beside_archive", 112},
      {L"payload_readme_after_b7_archive", 115},
      {L"payload_my_setup", 112},
      {L"payload_setup_260", 112},
      {L"payload_setup_260_after_b7_archive", 115},
      {L"payload_empty_setup", 115},
      {L"payload_bl_setup", 115},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.layout));
    ExpectRunEndsWith(row.layout, row.exit_code);
  }
}

TEST_F(PackedStubRun, SetupRunsUnderTheNameItsTypeGivesIt) {
  struct Row {
    const char* what;
    const wchar_t* layout;
    DWORD exit_code;
  } rows[] = {
      {"BN: as setup.exe", L"payload_bn_setup_runs", 0},
      {"B7: under its own resource name", L"payload_b7_setup_runs_under_own_name", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ExpectRunEndsWith(row.layout, row.exit_code);
  }
}

}  // namespace
