// The image's load configuration, which the loader reads before the entry
// point runs. Without a C runtime nobody else provides it. It carries the
// Control Flow Guard data the linker collects (the table of valid call
// targets, their count and the guard flags) and DependentLoadFlags, which make
// the loader resolve the dependencies of our imports from System32 only,
// never from the folder the installer was started from.
#include "common/win32.h"

extern "C" {

// Symbols the linker defines when it builds the guard tables. Their addresses
// are the values: the table's address, the number of entries, the flags.
extern const char __guard_fids_table[];
extern const char __guard_fids_count[];
extern const char __guard_iat_table[];
extern const char __guard_iat_count[];
extern const char __guard_longjmp_table[];
extern const char __guard_longjmp_count[];

// Until the loader installs its own, an indirect call checks nothing and the
// dispatcher jumps to the target the compiler left in rax.
void GuardCheckNothing();
void GuardDispatchDirectly();

}  // extern "C"

asm(R"(
  .text
  .p2align 4
  .globl GuardCheckNothing
GuardCheckNothing:
  ret
  .p2align 4
  .globl GuardDispatchDirectly
GuardDispatchDirectly:
  rex64 jmp *%rax
)");

// The compiler calls through these pointers; the loader replaces them with the
// checking functions of the system when the process runs with guard enforced.
// Read-only like the load configuration: the loader unprotects them itself.
extern "C" __attribute__((section(".00cfg"), used)) void (*const __guard_check_icall_fptr)() =
    GuardCheckNothing;
extern "C" __attribute__((section(".00cfg"), used)) void (*const __guard_dispatch_icall_fptr)() =
    GuardDispatchDirectly;

namespace {

// The 64-bit load configuration as the Windows 10 loader reads it. The
// system headers of the toolchain stop long before the guard fields, so the
// layout is spelled out here; the offsets are checked below.
struct LoadConfigDirectory64 {
  uint32_t size;
  uint32_t time_date_stamp;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t global_flags_clear;
  uint32_t global_flags_set;
  uint32_t critical_section_default_timeout;
  uint64_t decommit_free_block_threshold;
  uint64_t decommit_total_free_threshold;
  uint64_t lock_prefix_table;
  uint64_t maximum_allocation_size;
  uint64_t virtual_memory_threshold;
  uint64_t process_affinity_mask;
  uint32_t process_heap_flags;
  uint16_t csd_version;
  uint16_t dependent_load_flags;
  uint64_t edit_list;
  uint64_t security_cookie;
  uint64_t se_handler_table;
  uint64_t se_handler_count;
  const void* guard_cf_check_function_pointer;
  const void* guard_cf_dispatch_function_pointer;
  const void* guard_cf_function_table;
  const void* guard_cf_function_count;
  uint32_t guard_flags;
  uint16_t code_integrity_flags;
  uint16_t code_integrity_catalog;
  uint32_t code_integrity_catalog_offset;
  uint32_t code_integrity_reserved;
  const void* guard_address_taken_iat_entry_table;
  const void* guard_address_taken_iat_entry_count;
  const void* guard_long_jump_target_table;
  const void* guard_long_jump_target_count;
  uint64_t dynamic_value_reloc_table;
  uint64_t chpe_metadata_pointer;
  uint64_t guard_rf_failure_routine;
  uint64_t guard_rf_failure_routine_function_pointer;
  uint32_t dynamic_value_reloc_table_offset;
  uint16_t dynamic_value_reloc_table_section;
  uint16_t reserved2;
  uint64_t guard_rf_verify_stack_pointer_function_pointer;
  uint32_t hot_patch_table_offset;
  uint32_t reserved3;
  uint64_t enclave_configuration_pointer;
  uint64_t volatile_metadata_pointer;
  uint64_t guard_eh_continuation_table;
  uint64_t guard_eh_continuation_count;
};

static_assert(offsetof(LoadConfigDirectory64, dependent_load_flags) == 78, "layout");
static_assert(offsetof(LoadConfigDirectory64, guard_cf_check_function_pointer) == 112, "layout");
static_assert(offsetof(LoadConfigDirectory64, guard_flags) == 144, "layout");
static_assert(offsetof(LoadConfigDirectory64, guard_address_taken_iat_entry_table) == 160,
              "layout");
static_assert(offsetof(LoadConfigDirectory64, guard_eh_continuation_count) == 272, "layout");
static_assert(sizeof(LoadConfigDirectory64) == 280, "layout");

// Instrumented code and a table of valid call targets; the linker writes the
// table with no per-entry flag bytes (no suppressed or exported targets).
constexpr uint32_t kGuardCfInstrumented = 0x100;
constexpr uint32_t kGuardCfFunctionTablePresent = 0x400;

}  // namespace

// The linker finds the directory by this name. Every field is a constant or
// an address, so the whole object is laid out at link time in read-only data.
// Fields not named here are zero, as the loader expects of unused ones.
#pragma clang diagnostic ignored "-Wmissing-designated-field-initializers"
extern "C" __attribute__((used)) const LoadConfigDirectory64 _load_config_used = {
    .size = sizeof(LoadConfigDirectory64),
    .dependent_load_flags = LOAD_LIBRARY_SEARCH_SYSTEM32,
    .guard_cf_check_function_pointer = &__guard_check_icall_fptr,
    .guard_cf_dispatch_function_pointer = &__guard_dispatch_icall_fptr,
    .guard_cf_function_table = __guard_fids_table,
    .guard_cf_function_count = __guard_fids_count,
    .guard_flags = kGuardCfInstrumented | kGuardCfFunctionTablePresent,
    .guard_address_taken_iat_entry_table = __guard_iat_table,
    .guard_address_taken_iat_entry_count = __guard_iat_count,
    .guard_long_jump_target_table = __guard_longjmp_table,
    .guard_long_jump_target_count = __guard_longjmp_count,
};
