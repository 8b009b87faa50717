// The user's arguments as setup receives them: everything after the program's
// own name in the process command line, copied verbatim.
//
// Pure code: no Windows header, so that the host build compiles this very
// source for the fuzzers (tests/fuzz).
#pragma once

#include <stddef.h>

#include "text/bounded_buffer.h"

// Where the arguments begin in command_line: just after a quoted name's
// closing quotation mark, or at the first NUL, TAB or SPACE of an unquoted
// name (no other character ends it). Null when the name's quotation mark is
// never closed: such a line forwards nothing.
const wchar_t* FindUserArguments(const wchar_t* command_line);

// Appends the arguments of command_line to command: verbatim when they start
// with their own TAB or SPACE, after one inserted space when they follow a
// closing quotation mark directly. True when everything was appended, or
// there was nothing to append; false when the arguments do not fit, and the
// command is then left exactly as it was.
bool AppendUserArguments(CommandBuffer& command, const wchar_t* command_line);
