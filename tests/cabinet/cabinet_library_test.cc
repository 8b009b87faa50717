// Where the cabinet library comes from. The library stays loaded for the
// life of the process once found, so every test here relies on running in a
// process of its own, as each test does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/cabinet_files.h"
#include "payload/cabinet/expand_cabinet.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

struct LoadCall {
  std::wstring path;
  DWORD flags;
  bool loaded;
};
std::vector<LoadCall> g_loads;
bool g_refuse_loads = false;
test::ImportPatch* g_load_patch = nullptr;

HMODULE WINAPI RecordingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  HMODULE module = nullptr;
  if (!g_refuse_loads) {
    module = g_load_patch->original<decltype(LoadLibraryExW)>()(path, file, flags);
  } else {
    SetLastError(ERROR_MOD_NOT_FOUND);
  }
  g_loads.push_back({path, flags, module != nullptr});
  return module;
}

class CabinetLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_loads.clear();
    g_refuse_loads = false;
    g_load_patch = &load_;
    ASSERT_TRUE(load_.active());
    ASSERT_TRUE(test::WriteFileBytes(source_, test::ReadCabinet(L"setup")));
  }

  bool Expand() {
    test::RemoveTree(destination_);
    return ExpandCabinet(source_.c_str(), destination_.c_str());
  }

  static void SetVariable(const wchar_t* name, const std::wstring& value) {
    ASSERT_WIN32(SetEnvironmentVariableW(name, value.c_str()));
  }

  test::ImportPatch load_{"kernel32.dll", "LoadLibraryExW", &RecordingLoadLibraryExW};
  test::ScratchDirectory scratch_{L"cablib"};
  std::wstring source_ = scratch_ / L"SETUP.EX_";
  std::wstring destination_ = scratch_ / L"setup.exe";
};

std::wstring Lower(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

TEST_F(CabinetLibraryTest, WindowsDirectoryCandidateIsTriedFirst) {
  SetVariable(L"WINDIR", L"C:\\Windows");
  ASSERT_TRUE(Expand());
  ASSERT_EQ(g_loads.size(), 1u);
  EXPECT_EQ(Lower(g_loads[0].path), L"c:\\windows\\system32\\cabinet.dll");
  EXPECT_EQ(g_loads[0].flags, static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
}

TEST_F(CabinetLibraryTest, ThirdCandidateWhenTheFirstTwoDoNotLoad) {
  const std::wstring elsewhere = scratch_ / L"no-windows";
  SetVariable(L"WINDIR", elsewhere);
  SetVariable(L"SYSTEMROOT", elsewhere + L"-either");
  ASSERT_TRUE(Expand());
  ASSERT_EQ(g_loads.size(), 3u);
  EXPECT_EQ(g_loads[0].path, elsewhere + L"\\system32\\cabinet.dll");
  EXPECT_EQ(g_loads[1].path, elsewhere + L"-either\\system32\\cabinet.dll");
  EXPECT_EQ(g_loads[2].path, L"C:\\Windows\\system32\\cabinet.dll");
  EXPECT_FALSE(g_loads[0].loaded);
  EXPECT_FALSE(g_loads[1].loaded);
  EXPECT_TRUE(g_loads[2].loaded);
  for (const LoadCall& call : g_loads) {
    EXPECT_EQ(call.flags, static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
  }
}

TEST_F(CabinetLibraryTest, CandidateThatDoesNotFitIsSkippedUnloaded) {
  // Expanded, the first candidate has far more than 259 characters.
  SetVariable(L"WINDIR", L"C:\\" + std::wstring(300, L'w'));
  ASSERT_TRUE(Expand());
  wchar_t root[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"SYSTEMROOT", root, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  ASSERT_EQ(g_loads.size(), 1u);
  EXPECT_EQ(g_loads[0].path, std::wstring(root) + L"\\system32\\cabinet.dll");
}

TEST_F(CabinetLibraryTest, SecondExpansionDoesNotLoadAgain) {
  ASSERT_TRUE(Expand());
  ASSERT_EQ(g_loads.size(), 1u);
  ASSERT_TRUE(Expand());
  EXPECT_EQ(g_loads.size(), 1u);
  EXPECT_EQ(test::ReadFileBytes(destination_),
            test::ReadFileBytes(test::BinDirectory() + L"cabinet_setup.exe"));
}

// Provokes: cabinet.no-library
TEST_F(CabinetLibraryTest, NoLibraryGivesFalseAndALaterCallTriesAgain) {
  g_refuse_loads = true;
  EXPECT_FALSE(Expand());
  EXPECT_EQ(g_loads.size(), 3u);
  EXPECT_FALSE(test::FileExists(destination_));

  g_refuse_loads = false;
  EXPECT_TRUE(Expand());
  EXPECT_EQ(g_loads.size(), 4u);
}

// Every candidate's expansion made unusable: it fails, or reports a size that
// does not fit the buffer.
int g_expansions = 0;
DWORD g_expansion_result = 0;

DWORD WINAPI UnusableExpandEnvironmentStringsW(LPCWSTR, LPWSTR, DWORD) {
  ++g_expansions;
  if (g_expansion_result == 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return g_expansion_result;
}

// Provokes: cabinet.no-library
TEST_F(CabinetLibraryTest, NoCandidatePathThatFitsGivesFalseWithoutLoading) {
  struct Row {
    const char* shows;
    DWORD result;
  } rows[] = {
      {"the expansion fails", 0},
      {"the expanded path needs one character more than there is", MAX_PATH + 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shows);
    g_loads.clear();
    g_expansions = 0;
    g_expansion_result = row.result;
    {
      test::ImportPatch expand("kernel32.dll", "ExpandEnvironmentStringsW",
                               &UnusableExpandEnvironmentStringsW);
      ASSERT_TRUE(expand.active());
      EXPECT_FALSE(Expand());
    }
    EXPECT_EQ(g_expansions, 3);
    EXPECT_TRUE(g_loads.empty());
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});
  }
  EXPECT_TRUE(Expand());
}

// One entry point looked up in vain, as in a library that lacks it.
const char* g_missing_entry_point = nullptr;
test::ImportPatch* g_lookup_patch = nullptr;

FARPROC WINAPI LookupMissingOne(HMODULE module, LPCSTR name) {
  bool by_name = (reinterpret_cast<uintptr_t>(name) >> 16) != 0;
  if (by_name && lstrcmpA(name, g_missing_entry_point) == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return g_lookup_patch->original<decltype(GetProcAddress)>()(module, name);
}

// Provokes: cabinet.missing-entry-point
TEST_F(CabinetLibraryTest, EachMissingEntryPointGivesFalseAndTouchesNothing) {
  for (const char* missing : {"FDICreate", "FDIDestroy", "FDICopy"}) {
    SCOPED_TRACE(missing);
    g_missing_entry_point = missing;
    {
      test::ImportPatch lookup("kernel32.dll", "GetProcAddress", &LookupMissingOne);
      ASSERT_TRUE(lookup.active());
      g_lookup_patch = &lookup;
      EXPECT_FALSE(Expand());
    }
    EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});
  }
  // The library itself stays loaded: found once, for every call.
  EXPECT_TRUE(Expand());
  EXPECT_EQ(g_loads.size(), 1u);
}

// Run by the next test in a child process; exits with kStandInChecked when
// every expectation held.
constexpr DWORD kStandInChecked = 77;

TEST_F(CabinetLibraryTest, DISABLED_LibraryWithoutAnEntryPointInChild) {
  EXPECT_FALSE(Expand());
  ASSERT_EQ(g_loads.size(), 1u);
  EXPECT_TRUE(g_loads[0].loaded);
  EXPECT_EQ(g_loads[0].path, test::BinDirectory() + L"stand_in\\system32\\cabinet.dll");
  HMODULE loaded = GetModuleHandleW(g_loads[0].path.c_str());
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(GetProcAddress(loaded, "FDIDestroy"), nullptr) << "not the stand-in library";
  EXPECT_EQ(test::ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});

  // The library found is kept: no other candidate is tried later.
  EXPECT_FALSE(Expand());
  EXPECT_EQ(g_loads.size(), 1u);
  if (!HasFailure()) ExitProcess(kStandInChecked);
}

// bin\stand_in\system32\cabinet.dll has FDICreate and FDICopy but no
// FDIDestroy. Wine loads its own library for any file named like one of its
// built-in ones unless told otherwise before the process starts, so the check
// runs in a child: a copy of this program under a name of its own, which
// Wine's per-program settings tell to load the file it is given, started
// with %WINDIR% on the stand-in. Elsewhere the setting is simply unused.
class StandInChild {
 public:
  StandInChild() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    self_ = self;
    name_ = L"cabinet_stand_in_check_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    copy_ = test::BinDirectory() + name_;
    copied_ = CopyFileW(self, copy_.c_str(), FALSE) != FALSE;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (SettingsKey() + L"\\DllOverrides").c_str(), 0,
                        nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
      const wchar_t kNative[] = L"native";
      RegSetValueExW(key, L"cabinet", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNative),
                     sizeof(kNative));
      RegCloseKey(key);
    }
  }
  ~StandInChild() {
    test::DeleteRegistryTree(HKEY_CURRENT_USER, SettingsKey());
    DeleteFileW(copy_.c_str());
  }

  bool copied() const { return copied_; }

  test::ProcessResult Run(const std::wstring& filter) const {
    std::vector<std::wstring> environment;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != 0; entry += lstrlenW(entry) + 1) {
      if (_wcsnicmp(entry, L"WINDIR=", 7) != 0) environment.push_back(entry);
    }
    FreeEnvironmentStringsW(block);
    environment.push_back(L"WINDIR=" + test::BinDirectory() + L"stand_in");
    return test::RunProcess(copy_, L"\"" + copy_ + L"\" --gtest_also_run_disabled_tests" +
                                       L" --gtest_filter=" + filter,
                            L"", environment);
  }

 private:
  std::wstring SettingsKey() const { return L"Software\\Wine\\AppDefaults\\" + name_; }

  // Held from before the setting is written until after it is removed: other
  // tests compare what the registry holds before and after their runs.
  test::RegistryLock lock_;
  std::wstring self_;
  std::wstring name_;
  std::wstring copy_;
  bool copied_ = false;
};

// Provokes: cabinet.missing-entry-point
TEST(CabinetLibrary, LibraryWithoutAnEntryPointGivesFalse) {
  StandInChild child;
  ASSERT_TRUE(child.copied());
  test::ProcessResult result =
      child.Run(L"CabinetLibraryTest.DISABLED_LibraryWithoutAnEntryPointInChild");
  ASSERT_TRUE(result.started) << "error " << result.start_error;
  EXPECT_EQ(result.exit_code, kStandInChecked);
}

}  // namespace
