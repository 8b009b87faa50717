// One system call of the expansion made to fail through the test
// executable's import table: the result is false and nothing is left at the
// destination.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/cabinet_files.h"
#include "payload/expand_cabinet.h"
#include "support/import_patch.h"
#include "support/test_support.h"

namespace {

using Names = std::vector<std::wstring>;

// Calls of the patched function so far, and the call that fails (1-based).
int g_calls = 0;
int g_failing_call = 0;
test::ImportPatch* g_patch = nullptr;

bool ThisCallFails() { return ++g_calls == g_failing_call; }

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

struct Injection {
  const char* shows;
  const char* function;
  void* replacement;
  int failing_call;
};

// Provokes: cabinet.duplicate-fails, cabinet.write-fails, cabinet.unreadable,
// Provokes: cabinet.utf8-fails, cabinet.create-fails
TEST(ExpandCabinetInjected, OneFailingCallGivesFalseAndNoFile) {
  const Injection injections[] = {
      {"the handle for the library cannot be duplicated", "DuplicateHandle",
       reinterpret_cast<void*>(&FailingDuplicateHandle), 1},
      {"the first write fails", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile), 1},
      {"a later write fails half-way", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile), 2},
      {"reading the cabinet fails", "ReadFile", reinterpret_cast<void*>(&FailingReadFile), 3},
      {"no memory for the UTF-8 file name", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 1},
      {"no memory for the UTF-8 directory", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 2},
      {"no memory for the library's context", "HeapAlloc",
       reinterpret_cast<void*>(&FailingHeapAlloc), 3},
  };
  const std::string cabinet = test::ReadCabinet(L"setup");
  for (const Injection& injection : injections) {
    SCOPED_TRACE(injection.shows);
    test::ScratchDirectory scratch(L"cabfail");
    const std::wstring source = scratch / L"SETUP.EX_";
    const std::wstring destination = scratch / L"setup.exe";
    ASSERT_TRUE(test::WriteFileBytes(source, cabinet));
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

}  // namespace
