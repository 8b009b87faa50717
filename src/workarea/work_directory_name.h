// The random part of a work directory's name: five upper-case hex digits.
#pragma once

#include "common/win32.h"
#include "text/bounded_buffer.h"

// Where the draws of one creation start when the random source fails: the
// process id and the tick count, so that other instances start elsewhere.
uint32_t FallbackNameSeed();

// Replaces everything from position name_at of work_dir (just after "QX_")
// with five random hex digits and ".tmp". attempt makes the fallback bytes of
// one creation differ from draw to draw. The caller has checked that 11
// elements are left from name_at on.
void WriteRandomName(PathBuffer& work_dir, size_t name_at, uint32_t fallback_seed,
                     uint32_t attempt);
