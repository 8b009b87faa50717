// One system call of the expansion made to fail through the test
// executable's import table: the result is false and nothing is left at the
// destination.
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

// Calls of the patched function so far, and the call that fails (1-based).
int g_calls = 0;
int g_failing_call = 0;
test::ImportPatch* g_patch = nullptr;

// A failing call of kEveryCall makes every call fail.
constexpr int kEveryCall = -1;

bool ThisCallFails() { return ++g_calls == g_failing_call || g_failing_call == kEveryCall; }

BOOL WINAPI FailingDuplicateHandle(HANDLE process, HANDLE source, HANDLE target_process,
                                   LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
  if (ThisCallFails()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return g_patch->original<decltype(DuplicateHandle)>()(process, source, target_process, target,
                                                        access, inherit, options);
}

BOOL WINAPI FailingWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  if (ThisCallFails()) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return g_patch->original<decltype(WriteFile)>()(file, buffer, count, written, overlapped);
}

LPVOID WINAPI FailingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  if (ThisCallFails()) return nullptr;
  return g_patch->original<decltype(HeapAlloc)>()(heap, flags, size);
}

BOOL WINAPI FailingReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                            LPOVERLAPPED overlapped) {
  if (ThisCallFails()) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  return g_patch->original<decltype(ReadFile)>()(file, buffer, count, read, overlapped);
}

int WINAPI FailingWideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int count,
                                      LPSTR narrow, int size, LPCCH fallback, LPBOOL used) {
  if (ThisCallFails()) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return g_patch->original<decltype(WideCharToMultiByte)>()(code_page, flags, text, count,
                                                            narrow, size, fallback, used);
}

int WINAPI FailingMultiByteToWideChar(UINT code_page, DWORD flags, LPCCH narrow, int count,
                                      LPWSTR text, int size) {
  if (ThisCallFails()) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return g_patch->original<decltype(MultiByteToWideChar)>()(code_page, flags, narrow, count,
                                                            text, size);
}

struct Injection {
  const char* shows;
  const char* function;
  void* replacement;
  int failing_call;
  // The test cabinet expanded.
  const wchar_t* cabinet = L"setup";
};

// Provokes: cabinet.duplicate-fails, cabinet.write-fails, cabinet.unreadable,
// Provokes: cabinet.utf8-fails, cabinet.create-fails
TEST(ExpandCabinetInjected, OneFailingCallGivesFalseAndNoFile) {
  const Injection injections[] = {
      {"the handle for the library cannot be duplicated", "DuplicateHandle",
       reinterpret_cast<void*>(&FailingDuplicateHandle), 1},
      {"the first write fails", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile), 1},
      {"a later write fails half-way", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile), 2},
      // Some libraries close the failed first file and go on to announce the
      // second: it must not take the first one's place.
      {"the first of several files fails to write", "WriteFile",
       reinterpret_cast<void*>(&FailingWriteFile), 1, L"several"},
      {"reading the cabinet fails", "ReadFile", reinterpret_cast<void*>(&FailingReadFile), 3},
      {"no memory for the UTF-8 file name", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 1},
      {"no memory for the UTF-8 directory", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 2},
      {"no memory for the library's context", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 3},
      {"the file name's UTF-8 size cannot be had", "WideCharToMultiByte",
       reinterpret_cast<void*>(&FailingWideCharToMultiByte), 1},
      {"the file name cannot be put into UTF-8", "WideCharToMultiByte",
       reinterpret_cast<void*>(&FailingWideCharToMultiByte), 2},
      {"the directory's UTF-8 size cannot be had", "WideCharToMultiByte",
       reinterpret_cast<void*>(&FailingWideCharToMultiByte), 3},
      {"the directory cannot be put into UTF-8", "WideCharToMultiByte",
       reinterpret_cast<void*>(&FailingWideCharToMultiByte), 4},
      {"the cabinet's path cannot be measured back out of UTF-8", "MultiByteToWideChar",
       reinterpret_cast<void*>(&FailingMultiByteToWideChar), 1},
      {"the cabinet's path cannot be decoded back out of UTF-8", "MultiByteToWideChar",
       reinterpret_cast<void*>(&FailingMultiByteToWideChar), 2},
  };
  for (const Injection& injection : injections) {
    SCOPED_TRACE(injection.shows);
    test::ScratchDirectory scratch(L"cabfail");
    const std::wstring source = scratch / L"SETUP.EX_";
    const std::wstring destination = scratch / L"setup.exe";
    ASSERT_TRUE(test::WriteFileBytes(source, test::ReadCabinet(injection.cabinet)));
    bool expanded = true;
    {
      g_calls = 0;
      g_failing_call = injection.failing_call;
      test::ImportPatch patch("kernel32.dll", injection.function, injection.replacement);
      ASSERT_TRUE(patch.active());
      g_patch = &patch;
      expanded = ExpandCabinet(source.c_str(), destination.c_str());
    }
    EXPECT_FALSE(expanded);
    EXPECT_GE(g_calls, injection.failing_call) << "the injected failure was never reached";
    EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"SETUP.EX_"}));
  }
}

// The library's entry points as the expansion looks them up: FDICreate and
// FDICopy are handed out as the stand-ins a test chooses, which may call the
// library's own; FDIDestroy is counted on its way through.
using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE,
                                            PFNCLOSE, PFNSEEK, int, PERF);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT,
                                          void*);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);
FdiCreateFunction g_real_create = nullptr;
FdiCopyFunction g_real_copy = nullptr;
FdiDestroyFunction g_real_destroy = nullptr;
FARPROC g_create_stand_in = nullptr;
FARPROC g_copy_stand_in = nullptr;
int g_destroy_calls = 0;

template <typename Function>
FARPROC AsProcedure(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

template <typename Function>
Function AsFunction(FARPROC procedure) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(procedure));
}

BOOL DIAMONDAPI CountingFdiDestroy(HFDI context) {
  ++g_destroy_calls;
  return g_real_destroy(context);
}

FARPROC WINAPI StandInLookup(HMODULE module, LPCSTR name) {
  FARPROC found = g_patch->original<decltype(GetProcAddress)>()(module, name);
  if (found == nullptr || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) return found;
  if (lstrcmpA(name, "FDICreate") == 0) {
    g_real_create = AsFunction<FdiCreateFunction>(found);
    return g_create_stand_in;
  }
  if (lstrcmpA(name, "FDICopy") == 0) {
    g_real_copy = AsFunction<FdiCopyFunction>(found);
    return g_copy_stand_in;
  }
  if (lstrcmpA(name, "FDIDestroy") == 0) {
    g_real_destroy = AsFunction<FdiDestroyFunction>(found);
    return AsProcedure(&CountingFdiDestroy);
  }
  return found;
}

// Expands the cabinet with the stand-ins given for FDICreate and FDICopy.
template <typename Create, typename Copy>
bool ExpandWithStandIns(Create* create, Copy* copy, const std::wstring& source,
                        const std::wstring& destination) {
  g_create_stand_in = AsProcedure(create);
  g_copy_stand_in = AsProcedure(copy);
  g_destroy_calls = 0;
  test::ImportPatch patch("kernel32.dll", "GetProcAddress", &StandInLookup);
  EXPECT_TRUE(patch.active());
  g_patch = &patch;
  return ExpandCabinet(source.c_str(), destination.c_str());
}

// FDICreate failing as the library's own does when it gets no memory.
int g_create_calls = 0;
int g_copy_calls = 0;

HFDI DIAMONDAPI FailingFdiCreate(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK,
                                 int, PERF error) {
  ++g_create_calls;
  error->erfOper = FDIERROR_ALLOC_FAIL;
  error->fError = TRUE;
  return nullptr;
}

BOOL DIAMONDAPI CountingFdiCopy(HFDI context, char* name, char* directory, int flags,
                                PFNFDINOTIFY notify, PFNFDIDECRYPT decrypt, void* user) {
  ++g_copy_calls;
  return g_real_copy(context, name, directory, flags, notify, decrypt, user);
}

// Provokes: cabinet.create-fails
TEST(ExpandCabinetInjected, FailedFdiCreateGivesFalseBeforeTheCabinetIsOpened) {
  test::ScratchDirectory scratch(L"cabfail");
  const std::wstring source = scratch / L"SETUP.EX_";
  const std::wstring destination = scratch / L"setup.exe";
  ASSERT_TRUE(test::WriteFileBytes(source, test::ReadCabinet(L"setup")));
  EXPECT_FALSE(ExpandWithStandIns(&FailingFdiCreate, &CountingFdiCopy, source, destination));
  EXPECT_EQ(g_create_calls, 1);
  EXPECT_EQ(g_copy_calls, 0);
  // No context, nothing to destroy.
  EXPECT_EQ(g_destroy_calls, 0);
  EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"SETUP.EX_"}));
}

// The library's own verdict counts even when the first file arrived whole:
// FDICopy is passed through, then reports a damaged cabinet, as a library
// may that checks the data only after the file was handed over.
PERF g_library_error = nullptr;
int g_files_closed = 0;
PFNFDINOTIFY g_product_notify = nullptr;

HFDI DIAMONDAPI RecordingFdiCreate(PFNALLOC alloc, PFNFREE free, PFNOPEN open, PFNREAD read,
                                   PFNWRITE write, PFNCLOSE close, PFNSEEK seek, int cpu,
                                   PERF error) {
  g_library_error = error;
  return g_real_create(alloc, free, open, read, write, close, seek, cpu, error);
}

INT_PTR DIAMONDAPI CountingNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  if (type == fdintCLOSE_FILE_INFO) ++g_files_closed;
  return g_product_notify(type, notification);
}

BOOL DIAMONDAPI DamagedAfterTheFirstFileFdiCopy(HFDI context, char* name, char* directory,
                                                int flags, PFNFDINOTIFY notify,
                                                PFNFDIDECRYPT decrypt, void* user) {
  g_product_notify = notify;
  g_real_copy(context, name, directory, flags, &CountingNotify, decrypt, user);
  g_library_error->erfOper = FDIERROR_CORRUPT_CABINET;
  g_library_error->fError = TRUE;
  return FALSE;
}

// Provokes: cabinet.damaged
TEST(ExpandCabinetInjected, ALibraryErrorAfterACompleteFileGivesFalseAndNoFile) {
  struct Row {
    const char* shows;
    uint16_t stored_attributes;
  } rows[] = {
      {"an entry stored as archive", 0x20},
      // Given to the file too early, read-only would keep it from being
      // marked for deletion.
      {"an entry stored read-only", 0x21},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shows);
    test::ScratchDirectory scratch(L"caberror");
    const std::wstring source = scratch / L"SETUP.EX_";
    const std::wstring destination = scratch / L"setup.exe";
    std::string cabinet = test::ReadCabinet(L"setup");
    test::SetFirstEntryStamp(cabinet, 0x5264, 0x6DA5, row.stored_attributes);
    ASSERT_TRUE(test::WriteFileBytes(source, cabinet));
    g_files_closed = 0;
    EXPECT_FALSE(ExpandWithStandIns(&RecordingFdiCreate, &DamagedAfterTheFirstFileFdiCopy, source,
                                    destination));
    EXPECT_EQ(g_destroy_calls, 1);
    EXPECT_EQ(g_files_closed, 1) << "the first file was handed over whole";
    EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"SETUP.EX_"}));
    test::RemoveTree(destination);
  }
}

// Once the first file is complete, failures while finishing it change
// nothing: a failed call here keeps whatever it was given (a handle that
// could not be closed stays open until the test closes it).
std::vector<HANDLE> g_left_open;

BOOL WINAPI FailingSetBasicInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                DWORD size) {
  if (kind == FileBasicInfo && ThisCallFails()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return g_patch->original<decltype(SetFileInformationByHandle)>()(file, kind, info, size);
}

BOOL WINAPI FailingFlushFileBuffers(HANDLE file) {
  if (ThisCallFails()) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return g_patch->original<decltype(FlushFileBuffers)>()(file);
}

BOOL WINAPI FailingCloseHandle(HANDLE handle) {
  if (ThisCallFails()) {
    g_left_open.push_back(handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return g_patch->original<decltype(CloseHandle)>()(handle);
}

// Provokes: cabinet.finish-unnoticed
TEST(ExpandCabinetInjected, FailuresWhileFinishingACompleteFileGoUnnoticed) {
  const Injection injections[] = {
      {"the stored time and attributes cannot be set", "SetFileInformationByHandle",
       reinterpret_cast<void*>(&FailingSetBasicInfo), 1},
      {"the expanded file cannot be flushed", "FlushFileBuffers",
       reinterpret_cast<void*>(&FailingFlushFileBuffers), 1},
      {"no handle can be closed, the library's nor the file's own", "CloseHandle",
       reinterpret_cast<void*>(&FailingCloseHandle), kEveryCall},
  };
  const std::string cabinet = test::ReadCabinet(L"setup");
  const std::string program = test::ReadFileBytes(test::BinDirectory() + L"cabinet_setup.exe");
  for (const Injection& injection : injections) {
    SCOPED_TRACE(injection.shows);
    test::ScratchDirectory scratch(L"cabfinish");
    const std::wstring source = scratch / L"SETUP.EX_";
    const std::wstring destination = scratch / L"setup.exe";
    ASSERT_TRUE(test::WriteFileBytes(source, cabinet));
    g_left_open.clear();
    bool expanded = false;
    {
      g_calls = 0;
      g_failing_call = injection.failing_call;
      test::ImportPatch patch("kernel32.dll", injection.function, injection.replacement);
      ASSERT_TRUE(patch.active());
      g_patch = &patch;
      expanded = ExpandCabinet(source.c_str(), destination.c_str());
    }
    for (HANDLE handle : g_left_open) CloseHandle(handle);
    EXPECT_TRUE(expanded);
    EXPECT_GE(g_calls, 1) << "the injected failure was never reached";
    EXPECT_TRUE(test::ReadFileBytes(destination) == program);
    EXPECT_EQ(test::ListDirectory(scratch.path()), (Names{L"SETUP.EX_", L"setup.exe"}));
  }
}

}  // namespace
