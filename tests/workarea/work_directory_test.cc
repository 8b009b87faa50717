// CreateWorkDirectory in real scratch directories: names, the headroom rule,
// the ten attempts, and what it leaves behind.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/test_support.h"
#include "workarea/work_directory.h"
#include "workarea/work_directory_calls.h"

namespace {

using workarea_test::g_seen;
using workarea_test::g_steer;
using test::IsWorkDirectoryName;
using workarea_test::LastComponent;
using workarea_test::Steering;

class WorkDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(calls_.Inactive(), ""); }

  // A real, nested directory whose path, final backslash included, is length long.
  std::wstring MakeDirectoryOfLength(size_t length) {
    std::wstring path = test::MakeDirectoryOfLength(scratch_.path(), length);
    g_seen = workarea_test::Record();
    return path;
  }

  test::ScratchDirectory scratch_{L"workdir"};
  workarea_test::WorkDirectoryCalls calls_;
};

TEST_F(WorkDirectoryTest, EachCreationMakesAFreshDirectoryBesideTheModule) {
  std::set<std::wstring> names;
  for (int i = 0; i < 20; ++i) {
    PathBuffer work_dir;
    RunOutcome outcome(12345, 678);
    ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
    EXPECT_EQ(outcome.exit_code, EXIT_OK);
    EXPECT_EQ(outcome.extra_code, 0u);
    std::wstring path = work_dir.Data();
    std::wstring name = LastComponent(path);
    EXPECT_TRUE(IsWorkDirectoryName(name)) << test::Narrow(name);
    EXPECT_EQ(path, scratch_.path() + name + L"\\");
    EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(test::ListDirectory(scratch_.path()).size(), 20u);
  EXPECT_EQ(g_seen.random_calls, 20) << "one draw per creation when the first name is free";
}

TEST_F(WorkDirectoryTest, AModuleDirectoryOf246CharactersGivesA259CharacterPath) {
  std::wstring module_directory = MakeDirectoryOfLength(246);
  ASSERT_EQ(module_directory.size(), 246u);
  PathBuffer work_dir;
  RunOutcome outcome;
  ASSERT_TRUE(CreateWorkDirectory(module_directory.c_str(), work_dir, outcome));
  EXPECT_EQ(work_dir.Length(), 259u);
  EXPECT_TRUE(IsWorkDirectoryName(LastComponent(work_dir.Data())));
  EXPECT_TRUE(test::FileExists(work_dir.Data()));
}

// Provokes: workdir.module-dir-too-long
TEST_F(WorkDirectoryTest, AModuleDirectoryWithoutRoomForTheNameEndsWith108BeforeAnyCall) {
  struct Row {
    size_t length;
    const char* what;
  } rows[] = {
      {247, "one character over"},
      {256, "\"QX_\" fits, the rest does not"},
      {257, "\"QX_\" does not fit"},
      {259, "the buffer is full"},
      {400, "the directory does not fit the buffer"},
  };
  for (const Row& row : rows) {
    std::wstring module_directory = L"C:\\" + std::wstring(row.length - 4, L'x') + L"\\";
    ASSERT_EQ(module_directory.size(), row.length);
    g_seen = workarea_test::Record();
    PathBuffer work_dir;
    RunOutcome outcome;
    EXPECT_FALSE(CreateWorkDirectory(module_directory.c_str(), work_dir, outcome)) << row.what;
    EXPECT_EQ(outcome.exit_code, EXIT_PATH_TOO_LONG) << row.what;
    EXPECT_EQ(outcome.extra_code, 0u) << row.what;
    EXPECT_TRUE(work_dir.IsEmpty()) << row.what;
    EXPECT_EQ(g_seen.volume_path_calls + g_seen.token_opens + g_seen.random_calls +
                  static_cast<int>(g_seen.create_calls.size()),
              0)
        << row.what;
  }
}

// Provokes: workdir.create-fails, workdir.random-fails
TEST_F(WorkDirectoryTest, TenRefusedCreationsTryTenNamesAndEndWith109) {
  struct Row {
    const char* what;
    std::wstring module_directory;
    bool refuse;
    Steering::Random random;
  } rows[] = {
      {"the module directory is gone", scratch_ / L"gone\\", false, Steering::Random::kReal},
      {"every creation is refused", scratch_.path(), true, Steering::Random::kReal},
      {"refused, and the random source fails too", scratch_.path(), true,
       Steering::Random::kFailing},
  };
  for (const Row& row : rows) {
    g_seen = workarea_test::Record();
    g_steer.refuse_create_directory = row.refuse;
    g_steer.random = row.random;
    PathBuffer work_dir;
    RunOutcome outcome;
    EXPECT_FALSE(CreateWorkDirectory(row.module_directory.c_str(), work_dir, outcome)) << row.what;
    EXPECT_EQ(outcome.exit_code, EXIT_WORK_DIR_NOT_CREATED) << row.what;
    EXPECT_EQ(outcome.extra_code, 0u) << row.what;
    EXPECT_TRUE(work_dir.IsEmpty()) << row.what;
    ASSERT_EQ(g_seen.create_calls.size(), 10u) << row.what;
    std::set<std::wstring> names;
    for (const auto& call : g_seen.create_calls) {
      std::wstring name = LastComponent(call.path);
      EXPECT_TRUE(IsWorkDirectoryName(name)) << row.what << ": " << test::Narrow(name);
      EXPECT_EQ(call.path, row.module_directory + name) << row.what;
      names.insert(name);
    }
    EXPECT_EQ(names.size(), 10u) << row.what;
    EXPECT_EQ(g_seen.random_calls, 10) << row.what;
    EXPECT_EQ(g_seen.pauses, 0) << row.what << ": a refused name is no reason to wait";
    EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty()) << row.what;
  }
}

// Provokes: workdir.random-fails
TEST_F(WorkDirectoryTest, AFailingRandomSourceStillGivesUsableNames) {
  g_steer.random = Steering::Random::kFailing;
  std::set<std::wstring> names;
  for (int i = 0; i < 5; ++i) {
    PathBuffer work_dir;
    RunOutcome outcome;
    ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
    std::wstring name = LastComponent(work_dir.Data());
    EXPECT_TRUE(IsWorkDirectoryName(name)) << test::Narrow(name);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 5u);
}

TEST_F(WorkDirectoryTest, ANameThatIsTakenCostsOneAttempt) {
  // The draws give QX_00000.tmp, QX_00010.tmp, ... QX_00090.tmp in turn.
  g_steer.random = Steering::Random::kCounting;
  for (int i = 0; i < 9; ++i) {
    std::wstring taken = scratch_ / (L"QX_000" + std::wstring(1, L"0123456789"[i]) + L"0.tmp");
    ASSERT_TRUE(CreateDirectoryW(taken.c_str(), nullptr));
  }
  g_seen = workarea_test::Record();
  PathBuffer work_dir;
  RunOutcome outcome;
  ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  EXPECT_EQ(std::wstring(work_dir.Data()), scratch_ / L"QX_00090.tmp\\");
  EXPECT_EQ(g_seen.create_calls.size(), 10u);

  // With all ten taken, nothing new appears.
  g_seen = workarea_test::Record();
  EXPECT_FALSE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  EXPECT_EQ(outcome.exit_code, EXIT_WORK_DIR_NOT_CREATED);
  EXPECT_EQ(test::ListDirectory(scratch_.path()).size(), 10u);
}

}  // namespace
