// How a run, or one stage of it, ended: the process exit code it stands for and
// one detail value. Success exactly when exit_code is 0; extra_code never takes
// part in that decision.
#pragma once

#include <stdint.h>

struct RunOutcome {
  uint32_t exit_code;
  uint32_t extra_code;

  constexpr RunOutcome() : exit_code(0), extra_code(0) {}
  constexpr explicit RunOutcome(uint32_t exit, uint32_t extra = 0)
      : exit_code(exit), extra_code(extra) {}

  constexpr bool Succeeded() const { return exit_code == 0; }
};

// Passed and returned as one 64-bit value, exit_code in the low half.
static_assert(sizeof(RunOutcome) == 8, "RunOutcome travels in one register");

constexpr uint32_t EXIT_OK = 0;
constexpr uint32_t EXIT_BAD_COMMAND_LINE = 101;
constexpr uint32_t EXIT_SETUP_COMMAND_FAILED = 105;
constexpr uint32_t EXIT_SETUP_WAIT_FAILED = 107;
constexpr uint32_t EXIT_PATH_TOO_LONG = 108;
constexpr uint32_t EXIT_WORK_DIR_NOT_CREATED = 109;
constexpr uint32_t EXIT_ARCHIVE_RESOURCE_FAILED = 112;
constexpr uint32_t EXIT_SETUP_RESOURCE_FAILED = 115;
constexpr uint32_t EXIT_SETUP_WRITE_FAILED = 116;
constexpr uint32_t EXIT_WORK_DIR_ACL_FAILED = 117;
constexpr uint32_t EXIT_CLEANUP_REQUESTED = 118;
constexpr uint32_t EXIT_SETUP_NOT_FOUND = 122;
constexpr uint32_t EXIT_SETUP_PATH_NOT_FOUND = 123;
constexpr uint32_t EXIT_SETUP_NOT_STARTED = 124;
