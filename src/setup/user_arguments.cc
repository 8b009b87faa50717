#include "setup/user_arguments.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

const wchar_t* FindUserArguments(const wchar_t* command_line) {
  const wchar_t* at = command_line;
  if (*at == L'"') {
    for (++at; *at != L'"'; ++at) {
      if (*at == 0) return nullptr;
    }
    return at + 1;
  }
  while (*at != 0 && !IsBlank(*at)) ++at;
  return at;
}

bool AppendUserArguments(CommandBuffer& command, const wchar_t* command_line) {
  if (command_line == nullptr) return true;
  const wchar_t* rest = FindUserArguments(command_line);
  if (rest == nullptr || *rest == 0) return true;
  if (IsBlank(*rest)) return command.Append(rest);
  // A quoted name directly followed by an argument: setup gets them apart.
  size_t length_before = command.Length();
  if (!command.Append(L" ")) return false;
  if (command.Append(rest)) return true;
  command.Truncate(length_before);
  return false;
}
