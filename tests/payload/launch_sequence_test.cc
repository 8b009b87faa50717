// The payload stage inside the launch sequence: the working set is trimmed
// once after every unpack, successful or not, before setup is started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/run_bootstrap.h"
#include "options/launch_options.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

std::wstring g_module_path;
std::vector<std::string> g_events;
decltype(&CreateProcessW) g_real_create_process = nullptr;

LPWSTR WINAPI PlainCommandLine() { return const_cast<LPWSTR>(L"installer.exe"); }

// The layout's module is only mapped as data: its path is given here.
DWORD WINAPI ModulePathInScratch(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_module_path.c_str(), size);
  return static_cast<DWORD>(g_module_path.size());
}

BOOL WINAPI RecordingTrim(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
  bool all_pages = minimum == static_cast<SIZE_T>(-1) && maximum == static_cast<SIZE_T>(-1);
  g_events.push_back(all_pages && process == GetCurrentProcess() ? "trim" : "other trim");
  return TRUE;
}

BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR command,
                                    LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                    BOOL inherit, DWORD flags, LPVOID environment,
                                    LPCWSTR directory, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION information) {
  g_events.push_back("setup started");
  return g_real_create_process(application, command, process, thread, inherit, flags,
                               environment, directory, startup, information);
}

class LaunchSequenceTest : public ::testing::Test {
 protected:
  ~LaunchSequenceTest() override {
    test::DeleteRegistryTree(HKEY_CURRENT_USER, std::wstring(L"Software\\Orvane\\Update\\"
                                                             L"ClientState\\") + kDefaultAppGuid);
  }
  test::RegistryLock lock_;
  // Taken before the module path is patched: the tests find their files by it.
  std::wstring layout_dir_ = test::BinDirectory() + L"layouts\\";
  test::ImportPatch command_line_{"kernel32.dll", "GetCommandLineW", &PlainCommandLine};
  test::ImportPatch module_path_{"kernel32.dll", "GetModuleFileNameW", &ModulePathInScratch};
  test::ImportPatch trim_{"kernel32.dll", "SetProcessWorkingSetSize", &RecordingTrim};
  test::ImportPatch create_process_{"kernel32.dll", "CreateProcessW", &RecordingCreateProcessW};
};

TEST_F(LaunchSequenceTest, WorkingSetIsTrimmedOnceAfterEveryUnpack) {
  ASSERT_TRUE(command_line_.active());
  ASSERT_TRUE(module_path_.active());
  ASSERT_TRUE(trim_.active());
  ASSERT_TRUE(create_process_.active());
  g_real_create_process = create_process_.original<decltype(CreateProcessW)>();
  struct Row {
    const wchar_t* layout;
    uint32_t exit_code;
    std::vector<std::string> events;
  } rows[] = {
      {L"no_payload", EXIT_ARCHIVE_RESOURCE_FAILED, {"trim"}},
      {L"payload_setup_260", EXIT_ARCHIVE_RESOURCE_FAILED, {"trim"}},
      {L"payload_bn_setup_runs", EXIT_OK, {"trim", "setup started"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::Narrow(row.layout));
    test::ScratchDirectory scratch(L"seq");
    g_module_path = scratch / L"installer.exe";
    g_events.clear();
    HMODULE image = LoadLibraryExW((layout_dir_ + row.layout + L".exe").c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << GetLastError();
    RunOutcome outcome = RunBootstrap(image);
    FreeLibrary(image);
    EXPECT_EQ(outcome.exit_code, row.exit_code);
    EXPECT_EQ(g_events, row.events);
    EXPECT_TRUE(test::ListDirectory(scratch.path()).empty());
  }
}

}  // namespace
