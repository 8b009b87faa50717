// Images whose setup program is stored as a cabinet (resource type "BL"):
// the unpack stage in process on the packed images, and whole runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/cabinet_files.h"
#include "payload/unpack_payload.h"
#include "support/layout_module.h"
#include "support/test_support.h"

namespace {

using Names = std::vector<std::wstring>;

std::string SetupProgramBytes() {
  return test::ReadFileBytes(test::BinDirectory() + L"cabinet_setup.exe");
}

struct Unpacked {
  RunOutcome outcome;
  std::wstring setup_path;
  std::wstring archive_name;
  std::wstring archive_type;
  int32_t max_delete_attempts;
};

Unpacked Unpack(const std::wstring& layout, const std::wstring& work_dir,
                int32_t max_delete_attempts = 0) {
  test::LayoutModule image(layout);
  EXPECT_NE(image.get(), nullptr) << "layout " << test::Narrow(layout) << " did not load";
  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  Unpacked result;
  result.outcome = UnpackPayload(image.get(), work_dir.c_str(), setup_path, archive_name,
                                 archive_type, max_delete_attempts);
  result.setup_path = setup_path.Data();
  result.archive_name = archive_name.Data();
  result.archive_type = archive_type.Data();
  result.max_delete_attempts = max_delete_attempts;
  return result;
}

TEST(CabinetSetupUnpack, SetupIsExpandedToSetupExeAndTheCabinetDeleted) {
  struct Row {
    const wchar_t* layout;
    int32_t max_before;
    int32_t max_at_least;
  };
  const Row rows[] = {
      {L"cabinet_setup", 0, 1},   // a cabinet made by the build with gcab
      {L"cabinet_packed", 0, 1},  // one made by the packer's --cabinet
      {L"cabinet_setup", 7, 7},   // the running maximum is never lowered
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.layout));
    test::ScratchDirectory work(L"cabwork");
    Unpacked unpacked = Unpack(row.layout, work.path(), row.max_before);
    EXPECT_EQ(unpacked.outcome.exit_code, EXIT_OK);
    EXPECT_EQ(unpacked.outcome.extra_code, 0u);
    EXPECT_EQ(unpacked.setup_path, work / L"setup.exe");
    EXPECT_EQ(unpacked.archive_name, L"BRISEL.7Z");
    EXPECT_EQ(unpacked.archive_type, L"BN");
    EXPECT_GE(unpacked.max_delete_attempts, row.max_at_least);
    EXPECT_EQ(test::ListDirectory(work.path()), (Names{L"setup.exe"}));
    EXPECT_EQ(test::ReadFileBytes(work / L"setup.exe"), SetupProgramBytes());
  }
}

// Provokes: unpack.expansion-fails
TEST(CabinetSetupUnpack, DamagedCabinetGives115AndIsDeleted) {
  test::ScratchDirectory work(L"cabwork");
  Unpacked unpacked = Unpack(L"cabinet_cut_short", work.path());
  EXPECT_EQ(unpacked.outcome.exit_code, EXIT_SETUP_RESOURCE_FAILED);
  EXPECT_EQ(unpacked.outcome.extra_code, 0u);
  EXPECT_EQ(unpacked.setup_path, work / L"setup.exe");
  EXPECT_GE(unpacked.max_delete_attempts, 1);
  EXPECT_EQ(test::ListDirectory(work.path()), Names{});
}

// A work directory of 252 characters: the cabinet's own name "SETUP" still
// fits (257), "setup.exe" does not (261).
// Provokes: unpack.cabinet-target-too-long
TEST(CabinetSetupUnpack, ShortNameWhoseExpansionPathDoesNotFitGives108) {
  test::ScratchDirectory scratch(L"cablong");
  const size_t kWorkDirLength = 252;
  ASSERT_LT(scratch.path().size() + 2, kWorkDirLength);
  const std::wstring work_dir =
      scratch.path() + std::wstring(kWorkDirLength - scratch.path().size() - 1, L'd') + L"\\";
  ASSERT_EQ(work_dir.size(), kWorkDirLength);
  // Beyond the plain-path limit for directories: created through \\?\.
  ASSERT_WIN32(CreateDirectoryW((L"\\\\?\\" + work_dir).c_str(), nullptr));

  Unpacked unpacked = Unpack(L"cabinet_short_name", work_dir);
  EXPECT_EQ(unpacked.outcome.exit_code, EXIT_PATH_TOO_LONG);
  EXPECT_EQ(unpacked.outcome.extra_code, 0u);
  EXPECT_EQ(unpacked.setup_path, work_dir + L"SETUP");
  EXPECT_EQ(unpacked.max_delete_attempts, 0);
  // The cabinet stays for the launch sequence to delete.
  EXPECT_EQ(test::ReadFileBytes(work_dir + L"SETUP"), test::ReadCabinet(L"setup"));

  DeleteFileW((L"\\\\?\\" + work_dir + L"SETUP").c_str());
  RemoveDirectoryW((L"\\\\?\\" + work_dir).c_str());
}

// Whole runs of the packed images. The lock keeps other tests' cleanup
// setting out of the registry while they run.
TEST(CabinetSetupRun, ExpandedSetupRunsAsSetupExeWithNoCabinetBeside) {
  test::RegistryLock lock;
  for (const wchar_t* layout : {L"cabinet_setup", L"cabinet_packed"}) {
    SCOPED_TRACE(test::Narrow(layout));
    test::ScratchDirectory scratch(L"cabrun");
    test::ProcessResult result = test::RunCopiedImage(test::LayoutPath(layout), scratch.path(), L"");
    ASSERT_TRUE(result.started) << "error " << result.start_error;
    // cabinet_setup.exe ends with 1 under another name, 2 beside other files.
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"installer.exe"}));
  }
}

TEST(CabinetSetupRun, DamagedCabinetEndsWith115AndLeavesNothing) {
  test::RegistryLock lock;
  test::ScratchDirectory scratch(L"cabrun");
  test::ProcessResult result =
      test::RunCopiedImage(test::LayoutPath(L"cabinet_cut_short"), scratch.path(), L"");
  ASSERT_TRUE(result.started) << "error " << result.start_error;
  EXPECT_EQ(result.exit_code, 115u);
  EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"installer.exe"}));
}

}  // namespace
