// Injects a failure at one system call: replaces one entry of this test
// executable's import address table for as long as the object lives. Product
// code linked into the test calls through that table, so it meets the
// replacement; nothing else of the platform changes.
#pragma once

#include "common/win32.h"

namespace test {

class ImportPatch {
 public:
  ImportPatch(const char* dll, const char* function, void* replacement);
  template <typename Function>
  ImportPatch(const char* dll, const char* function, Function* replacement)
      : ImportPatch(dll, function, reinterpret_cast<void*>(replacement)) {}
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // False when the executable does not import the function from that DLL.
  bool active() const { return slot_ != nullptr; }

  // The real function, for replacements that pass some calls through.
  template <typename Function>
  Function* original() const {
    return reinterpret_cast<Function*>(original_);
  }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace test
