// Fuzzes the switch matching of the launch options, ApplyLaunchSwitches
// (src/options/launch_switches.h).
//
// One input is an argument vector: the program's path and up to 11 arguments,
// each often a switch name in some mix of capitals followed by fuzzed text.
// Each argument is a heap array of exactly its characters and terminator, in
// a vector of exactly argc pointers, so AddressSanitizer reports a read past
// either. The comparison ApplyLaunchSwitches is given stands in for the
// installer's lstrcmpiW. It is either a whole-text comparison that folds ASCII
// letters (lstrcmpiW goes further, passing over a soft hyphen for one, but
// agrees on these texts), or an oracle whose answers the input chooses, which
// reaches every order of matches. Either way it records its calls, and the
// harness checks:
//   - argv[0] is never compared, and every other argument is, in order;
//   - each argument is tried against the names in their fixed order and no
//     further than the first that matches; the names are spelled as
//     documented ("--system-level", "--brisel-beta", "--brisel-dev",
//     "--brisel-sxs", "--cleanup", "--corlith");
//   - the fields end as a reference model of the rules has them: per-machine
//     once "--system-level" matched, cleanup once "--cleanup" or "--corlith"
//     did, the GUID of the last channel switch; a field no switch set keeps
//     what it held before.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "options/launch_switches.h"

namespace {

constexpr int32_t kMaxArguments = 12;
constexpr size_t kNames = sizeof(kLaunchSwitchNames) / sizeof(kLaunchSwitchNames[0]);
constexpr size_t kMaxCalls = kMaxArguments * kNames;

// The switch names as plain ASCII, in the order the rules try them.
const char* const kModelNames[] = {"--system-level", "--brisel-beta", "--brisel-dev",
                                   "--brisel-sxs",   "--cleanup",     "--corlith"};
static_assert(sizeof(kModelNames) / sizeof(kModelNames[0]) == kNames, "six switches");

wchar_t Lower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Whole texts equal, folding A-Z: what lstrcmpiW says of two such texts.
bool EqualsFoldingAscii(const wchar_t* a, const wchar_t* b) {
  for (size_t i = 0;; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
    if (a[i] == 0) return true;
  }
}

// The same against the names as documented, spelled out here.
bool ModelEquals(const wchar_t* argument, const char* name) {
  size_t i = 0;
  for (; name[i] != 0; ++i) {
    if (Lower(argument[i]) != static_cast<wchar_t>(name[i])) return false;
  }
  return argument[i] == 0;
}

struct Call {
  const wchar_t* argument;
  const wchar_t* name;
  bool answer;
};

// The comparison handed to ApplyLaunchSwitches: answers and records.
struct Recorder {
  FuzzInput* oracle;  // null: compare the texts
  Call calls[kMaxCalls];
  size_t count = 0;

  bool Compare(const wchar_t* argument, const wchar_t* name) {
    FUZZ_REQUIRE(count < kMaxCalls, "no argument is compared with a name twice");
    bool answer = oracle != nullptr ? oracle->Byte() % 3 == 0 : EqualsFoldingAscii(argument, name);
    calls[count++] = {argument, name, answer};
    return answer;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  bool use_oracle = input.Byte() & 1;
  int32_t argc = static_cast<int32_t>(input.Byte() % (kMaxArguments + 1));

  ExactArray<const wchar_t*> argv(static_cast<size_t>(argc));
  ExactArray<wchar_t>* arguments[kMaxArguments] = {};
  for (int32_t i = 0; i < argc; ++i) {
    FuzzText text;
    ReadTextAfterWord(input, text, kModelNames, kNames, 40);
    arguments[i] = new ExactArray<wchar_t>(text.Length() + 1);
    Place(text, *arguments[i]);
    argv[i] = arguments[i]->get();
  }

  // Fields as the caller may have left them, which no switch but their own
  // may change.
  const wchar_t* const guids[] = {kDefaultAppGuid, kBetaAppGuid, kDevAppGuid, kSxsAppGuid};
  const wchar_t* app_guid = guids[input.Byte() % 4];
  uint8_t is_system_level = input.Byte() & 1;
  uint8_t operation = (input.Byte() & 1) ? OPERATION_CLEANUP : OPERATION_NORMAL;
  const wchar_t* model_guid = app_guid;
  uint8_t model_system_level = is_system_level;
  uint8_t model_operation = operation;

  Recorder recorder;
  recorder.oracle = use_oracle ? &input : nullptr;
  ApplyLaunchSwitches(
      argv.get(), argc,
      [&recorder](const wchar_t* argument, const wchar_t* name) {
        return recorder.Compare(argument, name);
      },
      app_guid, is_system_level, operation);

  // Walk the calls as the rules order them: argument 1 on, names in order,
  // stopping at the first match.
  size_t call = 0;
  for (int32_t i = 1; i < argc; ++i) {
    for (size_t n = 0; n < kNames; ++n) {
      FUZZ_REQUIRE(call < recorder.count, "every argument after the program path is tried");
      const Call& c = recorder.calls[call++];
      FUZZ_REQUIRE(c.argument == argv[i], "arguments are tried in order, argv[0] never");
      FUZZ_REQUIRE(c.name == kLaunchSwitchNames[n].text, "names are tried in their order");
      if (!use_oracle) {
        FUZZ_REQUIRE(c.answer == ModelEquals(argv[i], kModelNames[n]),
                     "the switch names are spelled as documented");
      }
      if (!c.answer) continue;
      if (n == 0) model_system_level = 1;
      if (n == 1) model_guid = kBetaAppGuid;
      if (n == 2) model_guid = kDevAppGuid;
      if (n == 3) model_guid = kSxsAppGuid;
      if (n == 4 || n == 5) model_operation = OPERATION_CLEANUP;
      break;
    }
  }
  FUZZ_REQUIRE(call == recorder.count, "no name is tried after the first that matches");
  FUZZ_REQUIRE(app_guid == model_guid, "the last channel switch picks the GUID");
  FUZZ_REQUIRE(is_system_level == model_system_level, "only --system-level sets per-machine");
  FUZZ_REQUIRE(operation == model_operation, "only --cleanup and --corlith set cleanup");

  for (int32_t i = 0; i < argc; ++i) delete arguments[i];
  return 0;
}
