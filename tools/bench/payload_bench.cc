// Windows-side harness of ./bootpack bench: figures, not assertions.
//
//   payload_bench unpack IMAGE DIRECTORY
//     times UnpackPayload on IMAGE's setup resource into DIRECTORY beside a
//     plain WriteFile of the same bytes into the same directory;
//   payload_bench peak IMAGE DIRECTORY
//     copies IMAGE into DIRECTORY, runs it there and prints the child's peak
//     working set.
// Started with any other first argument it ends at once with 0: packed into
// an image as its setup program, it is the setup that the stub starts.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/win32.h"
#include "payload/unpack_payload.h"

// Not part of the lean set: the process memory counters.
#include <psapi.h>

namespace {

constexpr int kRounds = 9;

double Milliseconds(LARGE_INTEGER start, LARGE_INTEGER end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

int CompareDoubles(const void* a, const void* b) {
  double x = *static_cast<const double*>(a), y = *static_cast<const double*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

void PrintTimes(const wchar_t* what, double* times) {
  qsort(times, kRounds, sizeof(double), CompareDoubles);
  wprintf(L"  %-42ls median %8.2f ms   best %8.2f ms\n", what, times[kRounds / 2], times[0]);
}

// The setup resource's bytes, as UnpackPayload writes them.
bool FindSetup(HMODULE image, const void** data, DWORD* size) {
  HRSRC found = FindResourceW(image, L"SETUP.EXE", L"BN");
  if (found == nullptr) return false;
  *size = SizeofResource(image, found);
  *data = LockResource(LoadResource(image, found));
  return *data != nullptr;
}

bool PlainWrite(const wchar_t* path, const void* data, DWORD size) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, data, size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

int Unpack(const wchar_t* image_path, const wchar_t* directory) {
  HMODULE image = LoadLibraryExW(image_path, nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  const void* setup = nullptr;
  DWORD size = 0;
  if (image == nullptr || !FindSetup(image, &setup, &size)) {
    fwprintf(stderr, L"payload_bench: no BN SETUP.EXE in %ls (%lu)\n", image_path,
             GetLastError());
    return 2;
  }
  // The plain write gets its bytes from ordinary memory, already resident.
  void* copy = HeapAlloc(GetProcessHeap(), 0, size);
  CopyMemory(copy, setup, size);

  wchar_t work_dir[MAX_PATH], plain_path[MAX_PATH];
  swprintf(work_dir, MAX_PATH, L"%ls\\", directory);
  swprintf(plain_path, MAX_PATH, L"%ls\\plain.bin", directory);
  double unpack_times[kRounds], write_times[kRounds];
  // One round of each first, so that neither pays for the first touch.
  for (int round = -1; round < kRounds; ++round) {
    PathBuffer setup_path, archive_name;
    ResourceTypeBuffer archive_type;
    int32_t attempts = 0;
    LARGE_INTEGER t0, t1, t2;
    QueryPerformanceCounter(&t0);
    RunOutcome outcome =
        UnpackPayload(image, work_dir, setup_path, archive_name, archive_type, attempts);
    QueryPerformanceCounter(&t1);
    bool written = PlainWrite(plain_path, copy, size);
    QueryPerformanceCounter(&t2);
    if (!outcome.Succeeded() || !written) {
      fwprintf(stderr, L"payload_bench: unpack {%u, %u}, plain write %d\n", outcome.exit_code,
               outcome.extra_code, written);
      return 2;
    }
    DeleteFileW(setup_path.Data());
    DeleteFileW(plain_path);
    if (round < 0) continue;
    unpack_times[round] = Milliseconds(t0, t1);
    write_times[round] = Milliseconds(t1, t2);
  }
  wprintf(L"Writing a setup of %lu bytes, %d rounds:\n", size, kRounds);
  PrintTimes(L"UnpackPayload (find, classify, write)", unpack_times);
  PrintTimes(L"plain WriteFile of the same bytes", write_times);
  return 0;
}

int Peak(const wchar_t* image_path, const wchar_t* directory) {
  wchar_t copy[MAX_PATH], command[MAX_PATH + 2];
  swprintf(copy, MAX_PATH, L"%ls\\installer.exe", directory);
  if (!CopyFileW(image_path, copy, FALSE)) {
    fwprintf(stderr, L"payload_bench: cannot copy %ls (%lu)\n", image_path, GetLastError());
    return 2;
  }
  swprintf(command, MAX_PATH + 2, L"\"%ls\"", copy);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(copy, command, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup,
                      &process)) {
    fwprintf(stderr, L"payload_bench: cannot start %ls (%lu)\n", copy, GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  // Sampled while it runs as well: not every system keeps the counters of
  // a process that has ended.
  SIZE_T peak = 0;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  DWORD exit_code = 0;
  while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
    if (K32GetProcessMemoryInfo(process.hProcess, &counters, sizeof(counters)) &&
        counters.PeakWorkingSetSize > peak) {
      peak = counters.PeakWorkingSetSize;
    }
  }
  bool after_exit = K32GetProcessMemoryInfo(process.hProcess, &counters, sizeof(counters));
  if (after_exit && counters.PeakWorkingSetSize > peak) peak = counters.PeakWorkingSetSize;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  LARGE_INTEGER file_size = {};
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (GetFileAttributesExW(copy, GetFileExInfoStandard, &attributes)) {
    file_size.LowPart = attributes.nFileSizeLow;
    file_size.HighPart = static_cast<LONG>(attributes.nFileSizeHigh);
  }
  DeleteFileW(copy);
  wprintf(L"  image of %10.1f MiB: exit code %lu, peak working set %8.2f MiB%ls\n",
          static_cast<double>(file_size.QuadPart) / 1048576.0, exit_code,
          static_cast<double>(peak) / 1048576.0, after_exit ? L"" : L" (sampled while running)");
  return peak == 0 ? 2 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"unpack") == 0) return Unpack(argv[2], argv[3]);
  if (argc == 4 && wcscmp(argv[1], L"peak") == 0) return Peak(argv[2], argv[3]);
  return 0;
}
