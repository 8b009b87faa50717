// A setup program for tests. It records how it was started, then does what the
// test asks through environment variables (setup inherits the installer's
// environment, so a test sets them on the installer it starts):
//
//   BOOTPACK_TEST_SETUP_RECORD      file to write, in UTF-8, one line each:
//                                   command_line=<GetCommandLineW(), exactly>
//                                   current_directory=<GetCurrentDirectoryW()>
//                                   module_path=<this program's own path>
//   BOOTPACK_TEST_SETUP_RESULT_KEY  HKCU\<subkey> or HKLM\<subkey>: an existing
//                                   key (32-bit view) that gets the REG_DWORD
//                                   "InstallerResult", of value
//   BOOTPACK_TEST_SETUP_RESULT      (default 1)
//   BOOTPACK_TEST_SETUP_LEAVE_FILE  name of a file to create and leave behind
//                                   in this program's own directory
//   BOOTPACK_TEST_SETUP_HOLD_MS     keep this program's own file open, without
//   BOOTPACK_TEST_SETUP_HOLDER      delete sharing, for that many milliseconds
//                                   after it has ended; the holding is done by
//                                   a second process started from HOLDER, a
//                                   copy of this program outside the directory
//   BOOTPACK_TEST_SETUP_ARRIVED     name of a semaphore to release once, after
//                                   the record is written
//   BOOTPACK_TEST_SETUP_GATE        name of an event to wait for before ending,
//                                   at most two minutes, so that a test can
//                                   keep several setups running at once
//   BOOTPACK_TEST_SETUP_EXIT_CODE   exit code, decimal or 0x-hex (default 0)
#include <windows.h>

#include <cstdlib>
#include <cwchar>

// Plain C library only: the test programs link no C++ library.
namespace {

const wchar_t kHoldSwitch[] = L"--test-setup-hold";
constexpr DWORD kLong = 32768;

wchar_t g_value[kLong];
wchar_t g_own_path[kLong];

// The variable's value in a shared buffer, or null when it is not set.
const wchar_t* Variable(const wchar_t* name) {
  DWORD n = GetEnvironmentVariableW(name, g_value, kLong);
  if (n == 0 || n >= kLong) return nullptr;
  return g_value;
}

const wchar_t* OwnPath() {
  GetModuleFileNameW(nullptr, g_own_path, kLong);
  return g_own_path;
}

void EventName(DWORD setup_pid, wchar_t* name, size_t capacity) {
  swprintf(name, capacity, L"Local\\bootpack-test-setup-hold-%lu", setup_pid);
}

void WriteUtf8(HANDLE out, const char* label, const wchar_t* text) {
  static char utf8[4 * kLong];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
  DWORD written = 0;
  WriteFile(out, label, static_cast<DWORD>(strlen(label)), &written, nullptr);
  if (size > 1) WriteFile(out, utf8, static_cast<DWORD>(size - 1), &written, nullptr);
  WriteFile(out, "\n", 1, &written, nullptr);
}

void Record(const wchar_t* file) {
  HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  static wchar_t directory[kLong];
  GetCurrentDirectoryW(kLong, directory);
  WriteUtf8(out, "command_line=", GetCommandLineW());
  WriteUtf8(out, "current_directory=", directory);
  WriteUtf8(out, "module_path=", OwnPath());
  CloseHandle(out);
}

void WriteInstallerResult(const wchar_t* where, DWORD value) {
  HKEY root = nullptr;
  if (wcsncmp(where, L"HKCU\\", 5) == 0) root = HKEY_CURRENT_USER;
  if (wcsncmp(where, L"HKLM\\", 5) == 0) root = HKEY_LOCAL_MACHINE;
  if (root == nullptr) return;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, where + 5, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) != 0) return;
  RegSetValueExW(key, L"InstallerResult", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

void LeaveFile(const wchar_t* name) {
  static wchar_t path[kLong];
  wcscpy(path, OwnPath());
  wchar_t* slash = wcsrchr(path, L'\\');
  if (slash == nullptr) return;
  slash[1] = 0;
  wcsncat(path, name, kLong - wcslen(path) - 1);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Starts the holder and returns once it holds this program's own file.
void StartHolder(const wchar_t* holder, DWORD milliseconds) {
  DWORD pid = GetCurrentProcessId();
  wchar_t event_name[64];
  EventName(pid, event_name, 64);
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name);
  static wchar_t command[3 * kLong];
  swprintf(command, 3 * kLong, L"\"%ls\" %ls \"%ls\" %lu %lu", holder, kHoldSwitch, OwnPath(),
           milliseconds, pid);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(holder, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &startup, &process)) {
    HANDLE either[2] = {ready, process.hProcess};
    WaitForMultipleObjects(2, either, FALSE, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(ready);
}

// Holder mode: argv = holder, switch, file, milliseconds, setup's process id.
int Hold(wchar_t** argv) {
  DWORD setup_pid = wcstoul(argv[4], nullptr, 10);
  HANDLE setup = OpenProcess(SYNCHRONIZE, FALSE, setup_pid);
  HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  wchar_t event_name[64];
  EventName(setup_pid, event_name, 64);
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
  if (ready != nullptr) SetEvent(ready);
  if (setup != nullptr) WaitForSingleObject(setup, INFINITE);
  Sleep(wcstoul(argv[3], nullptr, 10));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}

// Tells the test this setup is running, then waits until it lets setups end.
// The wait is bounded, far beyond the start of any test's batch of instances,
// so that a test that never opens the gate leaves nothing running for long.
void MeetAtGate(const wchar_t* arrived_name, const wchar_t* gate_name) {
  if (arrived_name != nullptr) {
    HANDLE arrived = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, arrived_name);
    if (arrived != nullptr) {
      ReleaseSemaphore(arrived, 1, nullptr);
      CloseHandle(arrived);
    }
  }
  if (gate_name != nullptr) {
    HANDLE gate = OpenEventW(SYNCHRONIZE, FALSE, gate_name);
    if (gate != nullptr) {
      WaitForSingleObject(gate, 120000);
      CloseHandle(gate);
    }
  }
}

DWORD Number(const wchar_t* text, DWORD otherwise) {
  return text == nullptr ? otherwise : wcstoul(text, nullptr, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && wcscmp(argv[1], kHoldSwitch) == 0) return Hold(argv);

  if (const wchar_t* record = Variable(L"BOOTPACK_TEST_SETUP_RECORD")) Record(record);

  static wchar_t result_key[kLong];
  if (const wchar_t* key = Variable(L"BOOTPACK_TEST_SETUP_RESULT_KEY")) {
    wcscpy(result_key, key);
    WriteInstallerResult(result_key, Number(Variable(L"BOOTPACK_TEST_SETUP_RESULT"), 1));
  }

  if (const wchar_t* leave = Variable(L"BOOTPACK_TEST_SETUP_LEAVE_FILE")) LeaveFile(leave);

  DWORD hold = Number(Variable(L"BOOTPACK_TEST_SETUP_HOLD_MS"), 0);
  static wchar_t holder[kLong];
  if (hold != 0 && Variable(L"BOOTPACK_TEST_SETUP_HOLDER") != nullptr) {
    wcscpy(holder, g_value);
    StartHolder(holder, hold);
  }

  static wchar_t arrived[kLong];
  const wchar_t* arrived_name = nullptr;
  if (Variable(L"BOOTPACK_TEST_SETUP_ARRIVED") != nullptr) arrived_name = wcscpy(arrived, g_value);
  MeetAtGate(arrived_name, Variable(L"BOOTPACK_TEST_SETUP_GATE"));

  ExitProcess(Number(Variable(L"BOOTPACK_TEST_SETUP_EXIT_CODE"), 0));
}
