// The image's entry point. No runtime start-up runs before it: no static
// initialisation and no argument parsing of a C runtime.
#include "common/win32.h"
#include "launcher/run_bootstrap.h"

// The linker places this symbol at the image's load address.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __declspec(noreturn) void ProcessEntry() {
  RunOutcome outcome = RunBootstrap(reinterpret_cast<HMODULE>(&__ImageBase));
  ExitProcess(outcome.exit_code);
}
