#include "payload/cabinet/cabinet_notify.h"

#include "text/bounded_text.h"

namespace {

constexpr INT_PTR kGoOn = 0;
constexpr INT_PTR kAbort = -1;

// Only read-only, hidden, system and archive travel to the file; the
// cabinet's own bits (_A_EXEC, _A_NAME_IS_UTF) do not.
constexpr DWORD kKeptAttributes = 0x27;

INT_PTR OpenFirstFile(ExpansionContext& context, const FDINOTIFICATION& notification) {
  // Some cabinet libraries go on to the next file after the first one was
  // closed with an abort; a second file must never reach the destination.
  if (context.succeeded || context.output_file.IsOpen()) return kAbort;
  context.announced_size = static_cast<uint32_t>(notification.cb);
  context.output_file.Open(context.destination_path);
  // INVALID_HANDLE_VALUE is FDI's -1: the open or the duplication failed.
  return reinterpret_cast<INT_PTR>(context.output_file.DuplicateHandleForWriter());
}

// Complete when the file holds every byte that fdintCOPY_FILE announced: some
// libraries close a file that stopped half-way in damaged data.
bool HoldsAnnouncedSize(HANDLE file, uint32_t announced_size) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return false;
  return size.QuadPart == static_cast<LONGLONG>(announced_size);
}

INT_PTR CloseFirstFile(ExpansionContext& context, const FDINOTIFICATION& notification) {
  HANDLE file = reinterpret_cast<HANDLE>(notification.hf);
  bool complete = HoldsAnnouncedSize(file, context.announced_size);
  // The duplicate goes; output_file keeps its own handle for the end.
  CloseHandle(file);
  if (complete) {
    context.stored_date = notification.date;
    context.stored_time = notification.time;
    context.stored_attributes = notification.attribs;
    context.succeeded = 1;
  }
  // Stops a library that honours it after this first file.
  return kAbort;
}

}  // namespace

void ApplyStoredTimeAndAttributes(HANDLE file, const ExpansionContext& context) {
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof(info));
  FILETIME local;
  FILETIME utc;
  // Zero members leave the file's other times as they are.
  if (DosDateTimeToFileTime(context.stored_date, context.stored_time, &local) &&
      LocalFileTimeToFileTime(&local, &utc)) {
    info.CreationTime.LowPart = utc.dwLowDateTime;
    info.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  info.FileAttributes = context.stored_attributes & kKeptAttributes;
  SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof(info));
}

INT_PTR DIAMONDAPI FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  ExpansionContext& context = *static_cast<ExpansionContext*>(notification->pv);
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return kGoOn;
    case fdintCOPY_FILE:
      return OpenFirstFile(context, *notification);
    case fdintCLOSE_FILE_INFO:
      return CloseFirstFile(context, *notification);
    // A file that began in an earlier cabinet or goes on into a further one
    // is refused, and so is anything unknown.
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
    default:
      return kAbort;
  }
}
