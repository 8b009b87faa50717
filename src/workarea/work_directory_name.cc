#include "workarea/work_directory_name.h"

#include <ntsecapi.h>

namespace {

constexpr size_t kNameDigits = 5;
// Odd, so the low 16 bits of seed + attempt * step differ for every attempt
// of a creation: even without random bytes, no two draws give the same name.
constexpr uint32_t kFallbackStep = 0x9E3779B9u;

}  // namespace

uint32_t FallbackNameSeed() { return GetCurrentProcessId() * 0x85EBCA6Bu ^ GetTickCount(); }

void WriteRandomName(PathBuffer& work_dir, size_t name_at, uint32_t fallback_seed,
                     uint32_t attempt) {
  uint32_t fallback = fallback_seed + attempt * kFallbackStep;
  uint8_t bytes[4] = {static_cast<uint8_t>(fallback), static_cast<uint8_t>(fallback >> 8),
                      static_cast<uint8_t>(fallback >> 16), static_cast<uint8_t>(fallback >> 24)};
  // Its result is not looked at: a failure leaves the fallback bytes in place.
  RtlGenRandom(bytes, sizeof(bytes));
  // Eight digits, of which the first five stay: bytes 0 and 1 and the high
  // half of byte 2, leading zeros included.
  HexEncodeUpper(bytes, sizeof(bytes), work_dir.Data() + name_at,
                 work_dir.Capacity() - name_at);
  work_dir.Truncate(name_at + kNameDigits);
  work_dir.Append(L".tmp");
}
