// The work directory's access list: built only where the volume keeps one,
// protected, six entries, the token's default owner last; every failure to
// build it ends the creation with 117 before any directory is attempted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "workarea/work_directory.h"
#include "workarea/work_directory_calls.h"

namespace {

using workarea_test::CountOf;
using workarea_test::g_seen;
using workarea_test::g_steer;
using workarea_test::Steering;

const std::wstring kHead =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";

std::vector<uint8_t> SidBytes(PSID sid) {
  auto* bytes = static_cast<uint8_t*>(sid);
  return std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid));
}

// The process token's default owner, read here on its own.
struct TokenOwnerSid {
  std::vector<uint8_t> bytes;
  std::wstring text;
};

TokenOwnerSid ReadTokenOwner() {
  TokenOwnerSid result;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return result;
  uint8_t buffer[256] = {};
  DWORD size = 0;
  if (GetTokenInformation(token, TokenOwner, buffer, sizeof(buffer), &size)) {
    PSID owner = reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
    result.bytes = SidBytes(owner);
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(owner, &text)) {
      result.text = text;
      LocalFree(text);
    }
  }
  CloseHandle(token);
  return result;
}

// The platform's own rendering of an access list given as SDDL text, so that
// the text can be compared with what a descriptor turns back into.
std::wstring Canonical(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return L"(rejected)";
  }
  wchar_t* text = nullptr;
  std::wstring result;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    result = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return result;
}

// The access list stored on a directory, read back from the file system.
bool ReadStoredAccessList(const wchar_t* directory, workarea_test::DirectoryCall& stored) {
  DWORD size = 0;
  GetFileSecurityW(directory, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<uint8_t> descriptor(size);
  if (!GetFileSecurityW(directory, DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) {
    return false;
  }
  workarea_test::DescribeDescriptor(descriptor.data(), stored);
  return true;
}

class WorkDirectorySecurity : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(calls_.Inactive(), ""); }

  // Every token opened was closed once, and every allocation freed once.
  void ExpectEverythingReleased(const char* what) {
    for (HANDLE token : g_seen.tokens) {
      EXPECT_EQ(CountOf(g_seen.closed, token), CountOf(g_seen.tokens, token)) << what;
    }
    for (void* memory : g_seen.local_memory) {
      EXPECT_EQ(CountOf(g_seen.freed, memory), CountOf(g_seen.local_memory, memory)) << what;
    }
  }

  test::ScratchDirectory scratch_{L"workacl"};
  workarea_test::WorkDirectoryCalls calls_;
};

// Provokes: workdir.default-security
TEST_F(WorkDirectorySecurity, WithoutPersistentAccessListsNothingIsBuilt) {
  struct Row {
    const char* what;
    bool refuse_volume_path;
    bool refuse_volume_information;
  } rows[] = {
      {"the volume keeps no access lists", false, false},
      {"the volume's mount point cannot be found", true, false},
      {"the volume cannot be queried", false, true},
  };
  for (const Row& row : rows) {
    g_seen = workarea_test::Record();
    g_steer.acls = Steering::Acls::kAbsent;
    g_steer.refuse_volume_path = row.refuse_volume_path;
    g_steer.refuse_volume_information = row.refuse_volume_information;
    PathBuffer work_dir;
    RunOutcome outcome;
    ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome)) << row.what;
    ASSERT_EQ(g_seen.create_calls.size(), 1u) << row.what;
    EXPECT_FALSE(g_seen.create_calls[0].had_security) << row.what;
    EXPECT_EQ(g_seen.token_opens, 0) << row.what;
    EXPECT_TRUE(g_seen.sddl_texts.empty()) << row.what;
    EXPECT_TRUE(test::FileExists(work_dir.Data())) << row.what;
  }
}

TEST_F(WorkDirectorySecurity, TheAccessListIsProtectedAndEndsWithTheTokensDefaultOwner) {
  TokenOwnerSid owner = ReadTokenOwner();
  ASSERT_FALSE(owner.text.empty());
  std::wstring expected = Canonical(kHead + owner.text + L")");
  g_seen = workarea_test::Record();

  PathBuffer work_dir;
  RunOutcome outcome;
  ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  ASSERT_EQ(g_seen.sddl_texts.size(), 1u);
  EXPECT_EQ(g_seen.sddl_texts[0], kHead + owner.text + L")");
  ASSERT_EQ(g_seen.create_calls.size(), 1u);
  const workarea_test::DirectoryCall& call = g_seen.create_calls[0];
  ASSERT_TRUE(call.had_security);
  EXPECT_EQ(call.length, 24u);
  EXPECT_EQ(call.inherit, FALSE);
  EXPECT_TRUE(call.protected_list);
  EXPECT_EQ(call.entry_count, 6u);
  EXPECT_EQ(call.last_entry_sid, owner.bytes);
  EXPECT_EQ(call.access_list, expected);
  EXPECT_EQ(call.access_list.compare(0, 5, L"D:PAI"), 0) << test::Narrow(call.access_list);
  printf("access list at the call: %s\n", test::Narrow(call.access_list).c_str());
  EXPECT_EQ(g_seen.token_opens, 1);
  ExpectEverythingReleased("created");

  // Windows keeps the list on the directory; Wine stores none to read back.
  if (test::UnderWine()) return;
  workarea_test::DirectoryCall stored;
  ASSERT_TRUE(ReadStoredAccessList(work_dir.Data(), stored));
  EXPECT_TRUE(stored.protected_list);
  EXPECT_EQ(stored.entry_count, 6u);
  EXPECT_EQ(stored.last_entry_sid, owner.bytes);
  printf("access list on the directory: %s\n", test::Narrow(stored.access_list).c_str());
}

TEST_F(WorkDirectorySecurity, AGroupAsDefaultOwnerIsTheLastEntry) {
  // The test's own conversions free memory too: made before the record starts,
  // so that a block they reuse is never counted as freed twice.
  std::wstring expected = Canonical(kHead + L"S-1-5-32-544)");
  g_seen = workarea_test::Record();
  g_steer.owner = Steering::Owner::kGroup;
  PathBuffer work_dir;
  RunOutcome outcome;
  ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  ASSERT_EQ(g_seen.sddl_texts.size(), 1u);
  EXPECT_EQ(g_seen.sddl_texts[0], kHead + L"S-1-5-32-544)");
  ASSERT_EQ(g_seen.create_calls.size(), 1u);
  uint8_t administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  EXPECT_EQ(g_seen.create_calls[0].last_entry_sid, SidBytes(administrators));
  EXPECT_EQ(g_seen.create_calls[0].entry_count, 6u);
  EXPECT_TRUE(g_seen.create_calls[0].protected_list);
  EXPECT_EQ(g_seen.create_calls[0].access_list, expected);
  ExpectEverythingReleased("group owner");
}

// Provokes: workdir.acl.no-token, workdir.acl.no-owner, workdir.acl.text-too-long,
// Provokes: workdir.acl.text-rejected
TEST_F(WorkDirectorySecurity, AnAccessListThatCannotBeBuiltEndsWith117) {
  struct Row {
    const char* what;
    Steering steering;
    uint32_t extra;
  };
  auto steer = [](auto change) {
    Steering steering;
    change(steering);
    return steering;
  };
  Row rows[] = {
      {"the token cannot be opened",
       steer([](Steering& s) { s.refuse_token_open = ERROR_ACCESS_DENIED; }), ERROR_ACCESS_DENIED},
      {"the probe reports no size",
       steer([](Steering& s) { s.owner = Steering::Owner::kProbeSizeZero; }),
       ERROR_INSUFFICIENT_BUFFER},
      {"the probe fails for another reason",
       steer([](Steering& s) { s.owner = Steering::Owner::kProbeOtherError; }),
       ERROR_INVALID_HANDLE},
      {"no memory for the owner record",
       steer([](Steering& s) { s.refuse_local_alloc = true; }), ERROR_NOT_ENOUGH_MEMORY},
      {"the owner record cannot be read",
       steer([](Steering& s) { s.owner = Steering::Owner::kReadFails; }), ERROR_BAD_LENGTH},
      {"the owner has no text form",
       steer([](Steering& s) { s.refuse_sid_string = ERROR_INVALID_SID; }), ERROR_INVALID_SID},
      {"an owner of 207 characters makes the text too long",
       steer([](Steering& s) { s.sid_string_length = 207; }), ERROR_MORE_DATA},
      {"the text is rejected",
       steer([](Steering& s) { s.reject_sddl = ERROR_INVALID_PARAMETER; }),
       ERROR_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    g_seen = workarea_test::Record();
    g_steer = row.steering;
    PathBuffer work_dir;
    RunOutcome outcome;
    EXPECT_FALSE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome)) << row.what;
    g_steer = Steering();
    EXPECT_EQ(outcome.exit_code, EXIT_WORK_DIR_ACL_FAILED) << row.what;
    EXPECT_EQ(outcome.extra_code, row.extra) << row.what;
    EXPECT_TRUE(work_dir.IsEmpty()) << row.what;
    EXPECT_TRUE(g_seen.create_calls.empty()) << row.what;
    EXPECT_EQ(g_seen.random_calls, 0) << row.what;
    ExpectEverythingReleased(row.what);
  }
  EXPECT_TRUE(test::ListDirectory(scratch_.path()).empty());
}

TEST_F(WorkDirectorySecurity, AnOwnerOf206CharactersStillFitsTheText) {
  g_steer.sid_string_length = 206;
  g_steer.reject_sddl = ERROR_INVALID_SID;  // the made-up SID is no real one
  PathBuffer work_dir;
  RunOutcome outcome;
  EXPECT_FALSE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  ASSERT_EQ(g_seen.sddl_texts.size(), 1u);
  EXPECT_EQ(g_seen.sddl_texts[0].size(), 299u);
  EXPECT_EQ(outcome.exit_code, EXIT_WORK_DIR_ACL_FAILED);
  EXPECT_EQ(outcome.extra_code, static_cast<uint32_t>(ERROR_INVALID_SID));
  ExpectEverythingReleased("206 characters");
}

TEST_F(WorkDirectorySecurity, TheVolumeOfThisPrefixAsReported) {
  // Whatever the volume says decides; printed for the record.
  g_steer.acls = Steering::Acls::kAsReported;
  DWORD flags = 0;
  wchar_t volume[MAX_PATH] = {};
  GetVolumePathNameW(scratch_.path().c_str(), volume, MAX_PATH);
  GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
  g_seen = workarea_test::Record();
  PathBuffer work_dir;
  RunOutcome outcome;
  ASSERT_TRUE(CreateWorkDirectory(scratch_.path().c_str(), work_dir, outcome));
  ASSERT_EQ(g_seen.create_calls.size(), 1u);
  bool persistent = (flags & FILE_PERSISTENT_ACLS) != 0;
  EXPECT_EQ(g_seen.create_calls[0].had_security, persistent);
  EXPECT_EQ(g_seen.token_opens, persistent ? 1 : 0);
  printf("volume %s: flags 0x%lx, access list %s\n", test::Narrow(volume).c_str(), flags,
         persistent ? "built" : "not built");
}

}  // namespace
