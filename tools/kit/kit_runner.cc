// kit_runner [PROGRAM...]: runs every GoogleTest case of the test programs
// beside it (every *_tests.exe, or those named), each case in a process of
// its own as CTest runs them, prints one line per case and ends with
// "N passed, N failed". Disabled cases are left out as CTest leaves them
// out; a case GoogleTest reports as skipped counts as neither and is listed
// with the number of skipped cases. Writes results.txt beside the kit's bin
// folder: the system's version, every case's result and the whole output of
// each case that failed. Exit status 0 when nothing failed, else 1.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/narrow_text.h"

namespace {

// A case that runs longer than CTest's limit for one case is stopped.
constexpr DWORD kCaseTimeoutMs = 300 * 1000;

using test::Narrow;

void Print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
            &written, nullptr);
}

// This program's folder, with its final backslash.
std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L'\\') + 1);
}

struct Finished {
  bool started = false;
  bool timed_out = false;
  DWORD exit_code = 0;
  std::string output;  // standard output and error together
};

// Runs program with the arguments, collecting what it writes. Only the exit
// of the program ends the wait: a child it started may hold the pipe open.
Finished Run(const std::wstring& program, const std::wstring& arguments) {
  Finished finished;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return finished;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  std::wstring command = L"\"" + program + L"\" " + arguments;
  PROCESS_INFORMATION process = {};
  finished.started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                    nullptr, nullptr, &startup, &process) != FALSE;
  DWORD start_error = GetLastError();
  CloseHandle(write_end);
  if (!finished.started) {
    finished.output = "cannot start the program: Windows error " +
                      std::to_string(start_error) + "\n";
    CloseHandle(read_end);
    return finished;
  }
  CloseHandle(process.hThread);

  ULONGLONG deadline = GetTickCount64() + kCaseTimeoutMs;
  char buffer[8192];
  for (;;) {
    DWORD ended = WaitForSingleObject(process.hProcess, 20);
    DWORD available = 0;
    while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD read = 0;
      if (!ReadFile(read_end, buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
      finished.output.append(buffer, read);
    }
    if (ended == WAIT_OBJECT_0) break;
    if (GetTickCount64() > deadline) {
      finished.timed_out = true;
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  GetExitCodeProcess(process.hProcess, &finished.exit_code);
  CloseHandle(process.hProcess);
  CloseHandle(read_end);
  return finished;
}

// The names of the program's cases, from --gtest_list_tests: a suite line
// ("Suite." or "Prefix/Suite.  # TypeParam = ..."), then its cases indented
// by two spaces ("Case" or "Case/0  # GetParam() = ..."). Disabled suites and
// cases are counted, not listed.
std::vector<std::string> ParseCaseList(const std::string& listing, int& disabled) {
  std::vector<std::string> cases;
  std::string suite;
  size_t at = 0;
  while (at < listing.size()) {
    size_t end = listing.find('\n', at);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t comment = line.find("  #");
    if (comment != std::string::npos) line.erase(comment);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ' ') {
      suite = line;
      continue;
    }
    std::string name = line.substr(line.find_first_not_of(' '));
    std::string full = suite + name;
    bool is_disabled = suite.rfind("DISABLED_", 0) == 0 ||
                       suite.find("/DISABLED_") != std::string::npos ||
                       name.rfind("DISABLED_", 0) == 0;
    if (is_disabled) {
      ++disabled;
    } else {
      cases.push_back(full);
    }
  }
  return cases;
}

std::vector<std::wstring> TestPrograms(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"*_tests.exe").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

enum class Verdict { kPassed, kFailed, kSkipped };

// Passed when GoogleTest ran exactly this one case and it passed; skipped
// when it reports the case skipped; failed in every other way (a failure, a
// crash, a timeout, no case of that name run).
Verdict Judge(const Finished& run) {
  if (!run.started || run.timed_out || run.exit_code != 0) return Verdict::kFailed;
  if (run.output.find("[  SKIPPED ] 1 test") != std::string::npos) return Verdict::kSkipped;
  if (run.output.find("[  PASSED  ] 1 test.") != std::string::npos) return Verdict::kPassed;
  return Verdict::kFailed;
}

// "Windows 10.0 build 19045" as the kernel reports it, whatever the
// manifest says; "under Wine 9.0" where Wine's ntdll says so.
std::string SystemDescription() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto get_version = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  std::string text = "Windows";
  if (get_version != nullptr && get_version(&version) == 0) {
    text += " " + std::to_string(version.dwMajorVersion) + "." +
            std::to_string(version.dwMinorVersion) + " build " +
            std::to_string(version.dwBuildNumber);
  }
  using WineVersionFunction = const char*(CDECL*)();
  auto wine_version = reinterpret_cast<WineVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine_version != nullptr) text += std::string(", under Wine ") + wine_version();
  SYSTEM_INFO system = {};
  GetNativeSystemInfo(&system);
  if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) text += ", x64";
  if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64) text += ", ARM64";
  return text;
}

// The program names given on the command line, split as the system splits it.
std::vector<std::wstring> ChosenPrograms() {
  std::vector<std::wstring> chosen;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return chosen;
  for (int i = 1; i < count; ++i) chosen.push_back(arguments[i]);
  LocalFree(arguments);
  return chosen;
}

}  // namespace

int wmain() {
  // A crashing case ends its own process; no dialog waits for anyone.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const std::wstring bin = OwnDirectory();
  std::vector<std::wstring> programs = ChosenPrograms();
  if (programs.empty()) programs = TestPrograms(bin);
  if (programs.empty()) {
    Print("kit_runner: no *_tests.exe beside " + Narrow(bin) + "\n");
    return 2;
  }

  std::string system = SystemDescription();
  std::string report = "bootpack test kit on " + system + "\n\n";
  Print("bootpack test kit on " + system + "\n");
  int passed = 0, failed = 0, skipped = 0, disabled = 0;
  std::string failures;
  for (const std::wstring& program : programs) {
    std::wstring path = bin + program;
    Finished listing = Run(path, L"--gtest_list_tests");
    std::vector<std::string> cases;
    if (listing.started && !listing.timed_out && listing.exit_code == 0) {
      cases = ParseCaseList(listing.output, disabled);
    }
    if (cases.empty()) {
      ++failed;
      std::string line = "FAIL  " + Narrow(program) + ": its cases could not be listed\n";
      Print(line);
      report += line;
      failures += "==== " + Narrow(program) + " --gtest_list_tests\n" + listing.output + "\n";
      continue;
    }
    for (const std::string& name : cases) {
      ULONGLONG start = GetTickCount64();
      // Case names are C++ identifiers, slashes and digits: plain ASCII.
      Finished run = Run(path, L"--gtest_filter=" + std::wstring(name.begin(), name.end()));
      ULONGLONG elapsed = GetTickCount64() - start;
      Verdict verdict = Judge(run);
      const char* word = verdict == Verdict::kPassed    ? "PASS"
                         : verdict == Verdict::kSkipped ? "SKIP"
                                                        : "FAIL";
      std::string line = std::string(word) + "  " + Narrow(program) + "  " + name + "  (" +
                         std::to_string(elapsed / 1000) + "." +
                         std::to_string(elapsed % 1000 / 100) + " s";
      if (run.timed_out) line += ", stopped after 300 s";
      if (verdict == Verdict::kFailed) {
        line += ", exit code " + std::to_string(run.exit_code);
      }
      line += ")\n";
      Print(line);
      report += line;
      if (verdict == Verdict::kPassed) ++passed;
      if (verdict == Verdict::kSkipped) ++skipped;
      if (verdict == Verdict::kFailed) {
        ++failed;
        Print(run.output + "\n");
        failures += "==== " + Narrow(program) + " " + name + "\n" + run.output + "\n";
      }
    }
  }

  std::string summary;
  if (skipped > 0 || disabled > 0) {
    summary += std::to_string(skipped) + " skipped by the tests themselves, " +
               std::to_string(disabled) + " disabled and not run\n";
  }
  summary += std::to_string(passed) + " passed, " + std::to_string(failed) + " failed\n";
  report += "\n" + failures + summary;
  Print(summary);

  // results.txt beside bin\, in the kit's own folder.
  std::wstring kit = bin.substr(0, bin.find_last_of(L'\\', bin.size() - 2) + 1);
  HANDLE file = CreateFileW((kit + L"results.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
  }
  return failed == 0 ? 0 : 1;
}
