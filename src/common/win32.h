// The one header that includes <windows.h>. The build defines
// WIN32_LEAN_AND_MEAN, NOMINMAX, UNICODE and the Windows 10 version macros for
// every translation unit; the guards below keep a stray include order honest.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
// Not part of the lean set: CommandLineToArgvW.
#include <shellapi.h>

#include <stddef.h>
#include <stdint.h>
