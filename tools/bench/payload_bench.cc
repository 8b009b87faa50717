// Windows-side harness of ./bootpack bench: it measures, tools/bench/bench.py
// takes the medians and prints the table. Each mode runs one unmeasured round
// and then ROUNDS measured ones; within a round the two things compared run
// side by side, taking turns at going first. Every measurement is one line
//   FIGURE IMAGE VALUE
// with IMAGE the image's place among the arguments (1 or 2) and VALUE in
// milliseconds, bytes or attempts, as the figure's name says.
//
//   payload_bench write ROUNDS IMAGE DIRECTORY
//     unpack-ms: UnpackPayload writing IMAGE's setup into DIRECTORY;
//     plain-ms: one WriteFile of the same bytes into the same directory.
//   payload_bench scan ROUNDS IMAGE1 IMAGE2
//     scan-ms: finding and sorting the payload resources of an image just
//     loaded as an image resource; load-scan-ms: the load included.
//   payload_bench peak ROUNDS IMAGE1 IMAGE2
//     peak-bytes: the peak working set of a whole run of the image.
//   payload_bench delete ROUNDS IMAGE DIRECTORY
//     runs a run's stages here (work directory in DIRECTORY, unpack, setup),
//     then the final deletions: delete-ms for both, setup-attempts and
//     directory-attempts, and gone (1 or 0).
// Started any other way it ends at once with 0: packed into an image as its
// setup program, it is the setup that the stub starts.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/owner.h"
#include "common/win32.h"
#include "options/launch_options.h"
#include "payload/payload_scan.h"
#include "payload/unpack_payload.h"
#include "payload/visit_resources_of_type.h"
#include "setup/launch_setup.h"
#include "workarea/delete_until_gone.h"
#include "workarea/work_directory.h"

// Not part of the lean set: the process memory counters.
#include <psapi.h>

namespace {

struct ModuleTraits {
  using Value = HMODULE;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { FreeLibrary(value); }
};
using UniqueModule = Owner<ModuleTraits>;

double NowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Print(const wchar_t* figure, int image, double value) {
  wprintf(L"%ls %d %.6f\n", figure, image, value);
}

void Complain(const wchar_t* what, const wchar_t* detail, unsigned long code) {
  fwprintf(stderr, L"payload_bench: %ls %ls (%lu)\n", what, detail, code);
}

// Mapped as an image, as the stub's own image is, but nothing of it runs.
HMODULE LoadImage(const wchar_t* path) {
  return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The payload scan as UnpackPayload does it: the three types in its order.
const wchar_t* const kPayloadTypes[] = {L"B7", L"BL", L"BN"};

bool ScanPayload(HMODULE image) {
  PathBuffer archive_name, setup_name;
  ResourceBlob setup_blob = {nullptr, 0};
  uint32_t scan_error = 0;
  PayloadScan scan(archive_name, setup_name, setup_blob, scan_error);
  for (const wchar_t* type : kPayloadTypes) {
    VisitResourcesOfType(scan, image, type);
    if (scan_error != 0) return false;
  }
  return !archive_name.IsEmpty() && setup_blob.size != 0;
}

bool TimeUnpack(HMODULE image, const wchar_t* work_dir, double& ms) {
  PathBuffer setup_path, archive_name;
  ResourceTypeBuffer archive_type;
  int32_t attempts = 0;
  double start = NowMs();
  RunOutcome outcome =
      UnpackPayload(image, work_dir, setup_path, archive_name, archive_type, attempts);
  ms = NowMs() - start;
  if (!outcome.Succeeded()) {
    Complain(L"UnpackPayload ended with", L"", outcome.exit_code);
    return false;
  }
  DeleteFileW(setup_path.Data());
  return true;
}

bool TimePlainWrite(const wchar_t* path, const void* data, DWORD size, double& ms) {
  double start = NowMs();
  UniqueFile file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  bool ok = file.is_valid() && WriteFile(file.get(), data, size, &written, nullptr) &&
            written == size;
  file.reset();
  ms = NowMs() - start;
  if (!ok) {
    Complain(L"cannot write", path, GetLastError());
    return false;
  }
  DeleteFileW(path);
  return true;
}

int MeasureWrite(int rounds, const wchar_t* image_path, const wchar_t* directory) {
  UniqueModule image(LoadImage(image_path));
  HRSRC found = image.is_valid() ? FindResourceW(image.get(), L"SETUP.EXE", L"BN") : nullptr;
  if (found == nullptr) {
    Complain(L"no BN SETUP.EXE in", image_path, GetLastError());
    return 2;
  }
  DWORD size = SizeofResource(image.get(), found);
  // The plain write gets its bytes from ordinary memory, already resident.
  UniqueHeapMemory copy(HeapAlloc(GetProcessHeap(), 0, size));
  CopyMemory(copy.get(), LockResource(LoadResource(image.get(), found)), size);

  PathBuffer work_dir, plain_path;
  work_dir.Assign(directory);
  work_dir.Append(L"\\");
  plain_path.Assign(work_dir.Data());
  plain_path.Append(L"plain.bin");
  for (int round = -1; round < rounds; ++round) {
    double unpack_ms = 0, plain_ms = 0;
    bool ok = round % 2 == 0 ? TimeUnpack(image.get(), work_dir.Data(), unpack_ms) &&
                                   TimePlainWrite(plain_path.Data(), copy.get(), size, plain_ms)
                             : TimePlainWrite(plain_path.Data(), copy.get(), size, plain_ms) &&
                                   TimeUnpack(image.get(), work_dir.Data(), unpack_ms);
    if (!ok) return 2;
    if (round < 0) continue;
    Print(L"unpack-ms", 1, unpack_ms);
    Print(L"plain-ms", 1, plain_ms);
  }
  return 0;
}

int MeasureScan(int rounds, const wchar_t* const* images) {
  for (int round = -1; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      int which = (turn + round + 2) % 2;
      double start = NowMs();
      UniqueModule image(LoadImage(images[which]));
      double loaded = NowMs();
      bool found = image.is_valid() && ScanPayload(image.get());
      double scanned = NowMs();
      if (!found) {
        Complain(L"no archive and setup found in", images[which], GetLastError());
        return 2;
      }
      if (round < 0) continue;
      Print(L"scan-ms", which + 1, scanned - loaded);
      Print(L"load-scan-ms", which + 1, scanned - start);
    }
  }
  return 0;
}

// Runs the image to its end and gives its peak working set, sampled while it
// runs as well: not every system keeps the counters of a process that ended.
bool RunForPeak(const wchar_t* image_path, SIZE_T& peak) {
  wchar_t command[MAX_PATH + 3];
  swprintf(command, MAX_PATH + 3, L"\"%ls\"", image_path);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(image_path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    Complain(L"cannot start", image_path, GetLastError());
    return false;
  }
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  peak = 0;
  bool running = true;
  while (running) {
    running = WaitForSingleObject(process.get(), 1) == WAIT_TIMEOUT;
    if (K32GetProcessMemoryInfo(process.get(), &counters, sizeof(counters)) &&
        counters.PeakWorkingSetSize > peak) {
      peak = counters.PeakWorkingSetSize;
    }
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0 || peak == 0) {
    Complain(L"no clean run with a peak working set:", image_path, exit_code);
    return false;
  }
  return true;
}

int MeasurePeak(int rounds, const wchar_t* const* images) {
  for (int round = -1; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      int which = (turn + round + 2) % 2;
      SIZE_T peak = 0;
      if (!RunForPeak(images[which], peak)) return 2;
      if (round >= 0) Print(L"peak-bytes", which + 1, static_cast<double>(peak));
    }
  }
  return 0;
}

int MeasureDeletions(int rounds, const wchar_t* image_path, const wchar_t* directory) {
  UniqueModule image(LoadImage(image_path));
  if (!image.is_valid()) {
    Complain(L"cannot load", image_path, GetLastError());
    return 2;
  }
  PathBuffer parent;
  parent.Assign(directory);
  parent.Append(L"\\");
  // Defaults: no arguments of the user's to pass on.
  LaunchOptions options;
  for (int round = -1; round < rounds; ++round) {
    PathBuffer work_dir, setup_path, archive_name;
    ResourceTypeBuffer archive_type;
    RunOutcome outcome;
    if (!CreateWorkDirectory(parent.Data(), work_dir, outcome)) {
      Complain(L"CreateWorkDirectory ended with", L"", outcome.exit_code);
      return 2;
    }
    int32_t unpack_attempts = 0;
    outcome = UnpackPayload(image.get(), work_dir.Data(), setup_path, archive_name, archive_type,
                            unpack_attempts);
    // Setup is this program, which ends at once. The path it is told for the
    // archive's image is this program's own: setup reads nothing here.
    if (outcome.Succeeded()) {
      outcome = LaunchSetup(options, GetModuleHandleW(nullptr), archive_name.Data(),
                            archive_type.Data(), setup_path.Data());
    }
    if (!outcome.Succeeded()) {
      Complain(L"unpack or setup ended with", L"", outcome.exit_code);
      return 2;
    }

    int32_t setup_attempts = 0, directory_attempts = 0;
    double start = NowMs();
    bool gone = DeleteUntilGone(setup_path.Data(), setup_attempts);
    gone = DeleteUntilGone(work_dir.Data(), directory_attempts) && gone;
    double ms = NowMs() - start;
    if (round < 0) continue;
    Print(L"delete-ms", 1, ms);
    Print(L"setup-attempts", 1, setup_attempts);
    Print(L"directory-attempts", 1, directory_attempts);
    Print(L"gone", 1, gone ? 1 : 0);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Setup's command line ("--bootpack-path=…" and the rest) has no ROUNDS.
  int rounds = argc == 5 ? _wtoi(argv[2]) : 0;
  if (rounds < 1) return 0;
  if (wcscmp(argv[1], L"write") == 0) return MeasureWrite(rounds, argv[3], argv[4]);
  if (wcscmp(argv[1], L"scan") == 0) return MeasureScan(rounds, argv + 3);
  if (wcscmp(argv[1], L"peak") == 0) return MeasurePeak(rounds, argv + 3);
  if (wcscmp(argv[1], L"delete") == 0) return MeasureDeletions(rounds, argv[3], argv[4]);
  return 0;
}
