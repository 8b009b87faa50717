#include "payload/cabinet/expand_cabinet.h"

#include "common/owner.h"
#include "payload/cabinet/cabinet_callbacks.h"
#include "payload/cabinet/cabinet_library.h"
#include "payload/cabinet/cabinet_notify.h"
#include "text/bounded_text.h"

namespace {

// Converts count characters of text to UTF-8 in a block from the process
// heap, terminated. A count of -1 takes the text up to its terminator. Null
// when a size comes out as 0 or the block cannot be had.
char* ToUtf8(const wchar_t* text, int count, UniqueHeapMemory& block) {
  // Returns the size in bytes, the terminator included only for a count of -1.
  int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (size == 0) return nullptr;
  int room = count == -1 ? size : size + 1;
  block.reset(HeapAlloc(GetProcessHeap(), 0, room));
  if (!block.is_valid()) return nullptr;
  char* utf8 = static_cast<char*>(block.get());
  if (WideCharToMultiByte(CP_UTF8, 0, text, count, utf8, size, nullptr, nullptr) == 0) {
    return nullptr;
  }
  utf8[room - 1] = 0;
  return utf8;
}

// The index of the last backslash after the first character, or 0 when there
// is none: the cabinet needs a directory part of its own.
int LastBackslash(const wchar_t* path) {
  for (int i = lstrlenW(path); i >= 1; --i) {
    if (path[i] == L'\\') return i;
  }
  return 0;
}

// The first file counts only when the library ended well or because the
// handler stopped it; any other failure means the data is not to be trusted.
bool CopyEndedWell(BOOL copied, const ERF& error) {
  return copied || error.erfOper == FDIERROR_USER_ABORT;
}

void FinishOutputFile(const ExpansionContext& expansion, OutputFile& output_file,
                      bool complete) {
  if (complete) {
    // Only now: had the verdict gone the other way, a read-only file could
    // not have been marked for deletion.
    ApplyStoredTimeAndAttributes(output_file.Handle(), expansion);
    FlushFileBuffers(output_file.Handle());
  } else if (output_file.IsOpen()) {
    // Gone once the last handle closes, the library's included.
    output_file.MarkForDeletion();
  }
  output_file.Close();
}

}  // namespace

bool ExpandCabinet(const wchar_t* source_path, const wchar_t* destination_path) {
  if (!LoadCabinetEntryPoints()) return false;
  const CabinetEntryPoints& library = CabinetLibrary();

  int backslash = LastBackslash(source_path);
  if (backslash == 0) return false;
  // FDI takes narrow strings: UTF-8 both ways keeps every path intact.
  // Declared first, freed last: the file name, then the directory.
  UniqueHeapMemory name_block;
  UniqueHeapMemory directory_block;
  char* name = ToUtf8(source_path + backslash + 1, -1, name_block);
  if (name == nullptr) return false;
  char* directory = ToUtf8(source_path, backslash + 1, directory_block);
  if (directory == nullptr) return false;

  ERF error;
  FillBytes(&error, 0, sizeof(error));
  UniqueFdiContext context(library.fdi_create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite,
                                              FdiClose, FdiSeek, cpuUNKNOWN, &error));
  if (!context.is_valid()) return false;

  ExpansionContext expansion(destination_path);
  BOOL copied = library.fdi_copy(context.get(), name, directory, 0, FdiNotify, nullptr,
                                 &expansion);
  bool complete = expansion.succeeded == 1 && CopyEndedWell(copied, error);
  context.reset();

  FinishOutputFile(expansion, expansion.output_file, complete);
  return complete;
}
