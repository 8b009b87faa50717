// The system calls of work directory creation, seen and steered from the
// test: each replacement records its call and passes it through unless the
// test asks for a failure. Shared by the work directory test files.
#pragma once

#include <string>
#include <vector>

#include "common/win32.h"
#include "support/import_patch.h"

// After <windows.h>: the SDDL conversions.
#include <sddl.h>

namespace workarea_test {

// What each call does on this run of the code under test.
struct Steering {
  bool refuse_create_directory = false;
  enum class Random { kReal, kFailing, kCounting } random = Random::kReal;
  bool refuse_volume_path = false;
  bool refuse_volume_information = false;
  enum class Acls { kAsReported, kForced, kAbsent } acls = Acls::kForced;
  DWORD refuse_token_open = 0;
  enum class Owner { kReal, kProbeSizeZero, kProbeOtherError, kReadFails, kGroup } owner =
      Owner::kReal;
  bool refuse_local_alloc = false;
  DWORD refuse_sid_string = 0;
  size_t sid_string_length = 0;  // non-zero: a made-up SID string this long
  DWORD reject_sddl = 0;
};

struct DirectoryCall {
  std::wstring path;
  bool had_security = false;
  DWORD length = 0;
  BOOL inherit = TRUE;
  std::wstring access_list;  // the descriptor's access list as SDDL, read at the call
  bool protected_list = false;
  DWORD entry_count = 0;
  std::vector<uint8_t> last_entry_sid;
};

// What the code under test did, reset for each test.
struct Record {
  std::vector<DirectoryCall> create_calls;
  int random_calls = 0;
  int volume_path_calls = 0;
  int token_opens = 0;
  int pauses = 0;  // calls of Sleep
  std::vector<std::wstring> sddl_texts;
  // Everything the code took that it must give back.
  std::vector<HANDLE> tokens;
  std::vector<void*> local_memory;
  std::vector<HANDLE> closed;
  std::vector<void*> freed;
};

inline Steering g_steer;
inline Record g_seen;

// The platform's own functions, for the calls that pass through.
struct Originals {
  decltype(&CreateDirectoryW) create_directory;
  decltype(&GetVolumePathNameW) volume_path;
  decltype(&GetVolumeInformationW) volume_information;
  decltype(&OpenProcessToken) open_token;
  decltype(&GetTokenInformation) token_information;
  decltype(&LocalAlloc) local_alloc;
  decltype(&LocalFree) local_free;
  decltype(&CloseHandle) close_handle;
  decltype(&ConvertSidToStringSidW) sid_to_string;
  decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW) sddl_to_descriptor;
  decltype(&Sleep) sleep;
};
inline Originals g_original;

inline BOOL Refuse(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Reads a descriptor's access list: protection, entries, the last entry's
// SID and the list as SDDL.
inline void DescribeDescriptor(PSECURITY_DESCRIPTOR descriptor, DirectoryCall& call) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    call.protected_list = (control & SE_DACL_PROTECTED) != 0;
  }
  BOOL present = FALSE, defaulted = FALSE;
  ACL* list = nullptr;
  if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present && list) {
    call.entry_count = list->AceCount;
    void* entry = nullptr;
    if (list->AceCount > 0 && GetAce(list, list->AceCount - 1, &entry)) {
      PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
      auto* bytes = static_cast<uint8_t*>(sid);
      call.last_entry_sid.assign(bytes, bytes + GetLengthSid(sid));
    }
  }
  wchar_t* text = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    call.access_list = text;
    g_original.local_free(text);
  }
}

// Reads the access list of the descriptor handed over, as the call sees it.
inline void DescribeSecurity(const SECURITY_ATTRIBUTES* security, DirectoryCall& call) {
  call.had_security = security != nullptr;
  if (security == nullptr) return;
  call.length = security->nLength;
  call.inherit = security->bInheritHandle;
  if (security->lpSecurityDescriptor != nullptr) {
    DescribeDescriptor(security->lpSecurityDescriptor, call);
  }
}

inline BOOL WINAPI SeenCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  DirectoryCall call;
  call.path = path;
  DescribeSecurity(security, call);
  g_seen.create_calls.push_back(call);
  if (g_steer.refuse_create_directory) return Refuse(ERROR_ACCESS_DENIED);
  return g_original.create_directory(path, security);
}

inline BOOLEAN WINAPI SeenRandom(PVOID buffer, ULONG length) {
  int call = g_seen.random_calls++;
  switch (g_steer.random) {
    case Steering::Random::kFailing:
      return FALSE;  // nothing written
    case Steering::Random::kCounting: {
      // Names QX_00000, QX_00010, QX_00020, ... in call order.
      auto* bytes = static_cast<uint8_t*>(buffer);
      for (ULONG i = 0; i < length; ++i) bytes[i] = 0;
      bytes[1] = static_cast<uint8_t>(call);
      return TRUE;
    }
    case Steering::Random::kReal:
      break;
  }
  // The real source, reached the way a program without the import would.
  using Random = BOOLEAN(WINAPI*)(PVOID, ULONG);
  auto real = reinterpret_cast<Random>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036")));
  return real(buffer, length);
}

inline BOOL WINAPI SeenGetVolumePathNameW(LPCWSTR path, LPWSTR volume, DWORD size) {
  ++g_seen.volume_path_calls;
  if (g_steer.refuse_volume_path) return Refuse(ERROR_INVALID_PARAMETER);
  return g_original.volume_path(path, volume, size);
}

inline BOOL WINAPI SeenGetVolumeInformationW(LPCWSTR root, LPWSTR name, DWORD name_size,
                                             LPDWORD serial, LPDWORD component, LPDWORD flags,
                                             LPWSTR system, DWORD system_size) {
  if (g_steer.refuse_volume_information) return Refuse(ERROR_NOT_READY);
  if (!g_original.volume_information(root, name, name_size, serial, component, flags, system,
                                     system_size)) {
    return FALSE;
  }
  if (g_steer.acls == Steering::Acls::kForced) *flags |= FILE_PERSISTENT_ACLS;
  if (g_steer.acls == Steering::Acls::kAbsent) *flags &= ~static_cast<DWORD>(FILE_PERSISTENT_ACLS);
  return TRUE;
}

inline BOOL WINAPI SeenOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  ++g_seen.token_opens;
  if (access != TOKEN_QUERY) return Refuse(ERROR_INVALID_ACCESS);
  if (g_steer.refuse_token_open != 0) return Refuse(g_steer.refuse_token_open);
  if (!g_original.open_token(process, access, token)) return FALSE;
  g_seen.tokens.push_back(*token);
  return TRUE;
}

// The Administrators group as a token's default owner.
struct GroupOwner {
  TOKEN_OWNER owner;
  uint8_t sid[SECURITY_MAX_SID_SIZE];
};

inline BOOL WINAPI SeenGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                           LPVOID data, DWORD size, PDWORD needed) {
  if (kind != TokenOwner) return Refuse(ERROR_INVALID_PARAMETER);
  bool probe = data == nullptr;
  switch (g_steer.owner) {
    case Steering::Owner::kProbeSizeZero:
      *needed = 0;
      return Refuse(ERROR_INSUFFICIENT_BUFFER);
    case Steering::Owner::kProbeOtherError:
      *needed = sizeof(GroupOwner);
      return Refuse(ERROR_INVALID_HANDLE);
    case Steering::Owner::kReadFails:
      if (probe) break;
      return Refuse(ERROR_BAD_LENGTH);
    case Steering::Owner::kGroup: {
      *needed = sizeof(GroupOwner);
      if (probe || size < sizeof(GroupOwner)) return Refuse(ERROR_INSUFFICIENT_BUFFER);
      auto* group = static_cast<GroupOwner*>(data);
      DWORD sid_size = sizeof(group->sid);
      if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, group->sid, &sid_size)) {
        return FALSE;
      }
      group->owner.Owner = group->sid;
      return TRUE;
    }
    case Steering::Owner::kReal:
      break;
  }
  return g_original.token_information(token, kind, data, size, needed);
}

inline HLOCAL WINAPI SeenLocalAlloc(UINT flags, SIZE_T size) {
  if (g_steer.refuse_local_alloc) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HLOCAL memory = g_original.local_alloc(flags, size);
  if (memory != nullptr) g_seen.local_memory.push_back(memory);
  return memory;
}

inline HLOCAL WINAPI SeenLocalFree(HLOCAL memory) {
  g_seen.freed.push_back(memory);
  return g_original.local_free(memory);
}

inline BOOL WINAPI SeenCloseHandle(HANDLE handle) {
  g_seen.closed.push_back(handle);
  return g_original.close_handle(handle);
}

inline BOOL WINAPI SeenConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  if (g_steer.refuse_sid_string != 0) return Refuse(g_steer.refuse_sid_string);
  if (g_steer.sid_string_length != 0) {
    size_t length = g_steer.sid_string_length;
    auto* made_up = static_cast<wchar_t*>(
        g_original.local_alloc(LMEM_ZEROINIT, (length + 1) * sizeof(wchar_t)));
    for (size_t i = 0; i < length; ++i) made_up[i] = i < 4 ? L"S-1-"[i] : L'7';
    *text = made_up;
    g_seen.local_memory.push_back(made_up);
    SetLastError(ERROR_MORE_DATA);  // what "the last error held" is in this case
    return TRUE;
  }
  if (!g_original.sid_to_string(sid, text)) return FALSE;
  g_seen.local_memory.push_back(*text);
  return TRUE;
}

inline BOOL WINAPI SeenConvertStringSecurityDescriptor(LPCWSTR text, DWORD revision,
                                                       PSECURITY_DESCRIPTOR* descriptor,
                                                       PULONG size) {
  g_seen.sddl_texts.push_back(text);
  if (revision != SDDL_REVISION_1 || size != nullptr) return Refuse(ERROR_INVALID_PARAMETER);
  if (g_steer.reject_sddl != 0) return Refuse(g_steer.reject_sddl);
  if (!g_original.sddl_to_descriptor(text, revision, descriptor, size)) return FALSE;
  g_seen.local_memory.push_back(*descriptor);
  return TRUE;
}

inline VOID WINAPI SeenSleep(DWORD milliseconds) {
  ++g_seen.pauses;
  g_original.sleep(milliseconds);
}

// Installs the replacements for as long as it lives; starts every test with
// default steering and an empty record.
class WorkDirectoryCalls {
 public:
  WorkDirectoryCalls() {
    g_steer = Steering();
    g_seen = Record();
    g_original.create_directory = create_directory_.original<decltype(CreateDirectoryW)>();
    g_original.volume_path = volume_path_.original<decltype(GetVolumePathNameW)>();
    g_original.volume_information =
        volume_information_.original<decltype(GetVolumeInformationW)>();
    g_original.open_token = open_token_.original<decltype(OpenProcessToken)>();
    g_original.token_information = token_information_.original<decltype(GetTokenInformation)>();
    g_original.local_alloc = local_alloc_.original<decltype(LocalAlloc)>();
    g_original.local_free = local_free_.original<decltype(LocalFree)>();
    g_original.close_handle = close_handle_.original<decltype(CloseHandle)>();
    g_original.sid_to_string = sid_to_string_.original<decltype(ConvertSidToStringSidW)>();
    g_original.sddl_to_descriptor =
        sddl_to_descriptor_
            .original<decltype(ConvertStringSecurityDescriptorToSecurityDescriptorW)>();
    g_original.sleep = sleep_.original<decltype(Sleep)>();
  }

  // Names the first replacement that could not be installed, or "".
  std::string Inactive() const {
    const test::ImportPatch* all[] = {&create_directory_,  &random_,        &volume_path_,
                                      &volume_information_, &open_token_,   &token_information_,
                                      &local_alloc_,        &local_free_,   &close_handle_,
                                      &sid_to_string_,      &sddl_to_descriptor_, &sleep_};
    const char* names[] = {"CreateDirectoryW",      "SystemFunction036",   "GetVolumePathNameW",
                           "GetVolumeInformationW", "OpenProcessToken",    "GetTokenInformation",
                           "LocalAlloc",            "LocalFree",           "CloseHandle",
                           "ConvertSidToStringSidW",
                           "ConvertStringSecurityDescriptorToSecurityDescriptorW", "Sleep"};
    for (size_t i = 0; i < sizeof(all) / sizeof(all[0]); ++i) {
      if (!all[i]->active()) return names[i];
    }
    return "";
  }

 private:
  test::ImportPatch create_directory_{"kernel32.dll", "CreateDirectoryW", &SeenCreateDirectoryW};
  test::ImportPatch random_{"advapi32.dll", "SystemFunction036", &SeenRandom};
  test::ImportPatch volume_path_{"kernel32.dll", "GetVolumePathNameW", &SeenGetVolumePathNameW};
  test::ImportPatch volume_information_{"kernel32.dll", "GetVolumeInformationW",
                                        &SeenGetVolumeInformationW};
  test::ImportPatch open_token_{"advapi32.dll", "OpenProcessToken", &SeenOpenProcessToken};
  test::ImportPatch token_information_{"advapi32.dll", "GetTokenInformation",
                                       &SeenGetTokenInformation};
  test::ImportPatch local_alloc_{"kernel32.dll", "LocalAlloc", &SeenLocalAlloc};
  test::ImportPatch local_free_{"kernel32.dll", "LocalFree", &SeenLocalFree};
  test::ImportPatch close_handle_{"kernel32.dll", "CloseHandle", &SeenCloseHandle};
  test::ImportPatch sid_to_string_{"advapi32.dll", "ConvertSidToStringSidW",
                                   &SeenConvertSidToStringSidW};
  test::ImportPatch sddl_to_descriptor_{"advapi32.dll",
                                        "ConvertStringSecurityDescriptorToSecurityDescriptorW",
                                        &SeenConvertStringSecurityDescriptor};
  test::ImportPatch sleep_{"kernel32.dll", "Sleep", &SeenSleep};
};

// Counts how often value occurs in values.
template <typename T>
size_t CountOf(const std::vector<T>& values, T value) {
  size_t count = 0;
  for (const T& each : values) count += each == value;
  return count;
}


// The last component of a path with or without a final backslash.
inline std::wstring LastComponent(std::wstring path) {
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path.substr(path.find_last_of(L'\\') + 1);
}

}  // namespace workarea_test
