// A packed layout image mapped as data only, so that the payload code can be
// run on its resources in the test process without starting it.
#pragma once

#include <string>

#include "support/test_support.h"

namespace test {

class LayoutModule {
 public:
  explicit LayoutModule(const std::wstring& layout)
      : module_(LoadLibraryExW(LayoutPath(layout).c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~LayoutModule() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  LayoutModule(const LayoutModule&) = delete;
  LayoutModule& operator=(const LayoutModule&) = delete;

  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

}  // namespace test
