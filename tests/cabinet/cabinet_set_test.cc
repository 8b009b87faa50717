// Cabinets of a set, where a file runs from one cabinet into the next: only
// a file that lies whole in the cabinet given is expanded. The notifications
// FDICopy sends and the handler's answers are watched by handing the
// expansion a wrapper for FDICopy when it looks the entry point up.
#include <gtest/gtest.h>

#include <fdi.h>

#include <string>
#include <vector>

#include "cabinet/cabinet_files.h"
#include "payload/cabinet/expand_cabinet.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

using Names = std::vector<std::wstring>;

struct Answer {
  FDINOTIFICATIONTYPE type;
  INT_PTR result;
};
std::vector<Answer> g_answers;
PFNFDINOTIFY g_handler = nullptr;

using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT,
                                          void*);
FdiCopyFunction g_real_fdi_copy = nullptr;
test::ImportPatch* g_lookup_patch = nullptr;

INT_PTR DIAMONDAPI RecordingNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  INT_PTR result = g_handler(type, notification);
  g_answers.push_back({type, result});
  return result;
}

BOOL DIAMONDAPI RecordingFdiCopy(HFDI context, char* name, char* directory, int flags,
                                 PFNFDINOTIFY handler, PFNFDIDECRYPT decrypt, void* user) {
  g_handler = handler;
  return g_real_fdi_copy(context, name, directory, flags, &RecordingNotify, decrypt, user);
}

FARPROC WINAPI HandOutRecordingFdiCopy(HMODULE module, LPCSTR name) {
  FARPROC found = g_lookup_patch->original<decltype(GetProcAddress)>()(module, name);
  bool by_name = (reinterpret_cast<uintptr_t>(name) >> 16) != 0;
  if (found == nullptr || !by_name || lstrcmpA(name, "FDICopy") != 0) return found;
  g_real_fdi_copy = reinterpret_cast<FdiCopyFunction>(reinterpret_cast<void*>(found));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordingFdiCopy));
}

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251 + seed) & 0xFF);
  return bytes;
}

std::string Describe(const std::vector<Answer>& answers) {
  std::string text;
  for (const Answer& answer : answers) {
    text += std::to_string(answer.type) + ":" + std::to_string(answer.result) + " ";
  }
  return text;
}

class CabinetSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lookup_patch = &lookup_;
    ASSERT_TRUE(lookup_.active());
    g_answers.clear();
  }

  bool Expand(const std::wstring& source) {
    g_answers.clear();
    return ExpandCabinet(source.c_str(), destination_.c_str());
  }

  test::ImportPatch lookup_{"kernel32.dll", "GetProcAddress", &HandOutRecordingFdiCopy};
  test::ScratchDirectory scratch_{L"cabset"};
  std::wstring first_ = scratch_ / L"SETUP.EX_";
  std::wstring second_ = scratch_ / L"SETUP2.EX_";
  std::wstring destination_ = scratch_ / L"setup.exe";
  // Longer than one data block, so that the split block is not the first.
  std::string spanning_ = Pattern(40000, 1);
  std::string whole_ = Pattern(1000, 2);
};

bool Answered(FDINOTIFICATIONTYPE type, INT_PTR result) {
  for (const Answer& answer : g_answers) {
    if (answer.type == type && answer.result == result) return true;
  }
  return false;
}

bool Announced(FDINOTIFICATIONTYPE type) {
  for (const Answer& answer : g_answers) {
    if (answer.type == type) return true;
  }
  return false;
}

// The cabinets below are written like the sets' own volumes: a cabinet of
// that kind that stands alone expands, so what the set tests see is the set.
TEST_F(CabinetSetTest, StoredCabinetThatStandsAloneExpands) {
  ASSERT_TRUE(test::WriteFileBytes(
      first_, test::StoredCabinet(0, "", "", {{"spanning.bin", 40000, 0, 0}},
                                  test::StoredBlocks(spanning_))));
  ASSERT_TRUE(Expand(first_)) << Describe(g_answers);
  EXPECT_TRUE(test::ReadFileBytes(destination_) == spanning_);
}

// Provokes: cabinet.continues-later
TEST_F(CabinetSetTest, FirstFileThatGoesOnIntoTheNextCabinetIsRefused) {
  const test::CabinetSet set = test::SpannedCabinets("SETUP.EX_", "SETUP2.EX_", spanning_, whole_);
  for (bool next_beside : {true, false}) {
    SCOPED_TRACE(next_beside ? "the next cabinet beside it" : "the next cabinet missing");
    test::RemoveTree(second_);
    ASSERT_TRUE(test::WriteFileBytes(first_, set.first));
    if (next_beside) ASSERT_TRUE(test::WriteFileBytes(second_, set.second));
    EXPECT_FALSE(Expand(first_));
    // Begun at fdintCOPY_FILE, then refused where the library asks for more.
    EXPECT_TRUE(Announced(fdintCOPY_FILE)) << Describe(g_answers);
    EXPECT_TRUE(Answered(fdintNEXT_CABINET, -1)) << Describe(g_answers);
    Names left = {L"SETUP.EX_"};
    if (next_beside) left.push_back(L"SETUP2.EX_");
    EXPECT_EQ(test::ListDirectory(scratch_.path()), left);
    EXPECT_TRUE(test::ReadFileBytes(first_) == set.first);
  }
}

// Provokes: cabinet.starts-earlier
TEST_F(CabinetSetTest, FirstFileThatBeganInThePreviousCabinetIsRefused) {
  const test::CabinetSet set = test::SpannedCabinets("SETUP.EX_", "SETUP2.EX_", spanning_, whole_);
  ASSERT_TRUE(test::WriteFileBytes(first_, set.first));
  ASSERT_TRUE(test::WriteFileBytes(second_, set.second));
  EXPECT_FALSE(Expand(second_));
  EXPECT_TRUE(Answered(fdintPARTIAL_FILE, -1)) << Describe(g_answers);
  // The whole file after it is not taken instead.
  EXPECT_FALSE(Announced(fdintCOPY_FILE)) << Describe(g_answers);
  EXPECT_EQ(test::ListDirectory(scratch_.path()), (Names{L"SETUP.EX_", L"SETUP2.EX_"}));
}

}  // namespace
