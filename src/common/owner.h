// One owner template for every kind of system object: a value, the value that
// means "nothing held", and how to release it. Move-only; get/reset/release.
// Releasing keeps the thread's last-error value, so a clean-up on a failure
// path never hides the error the caller is about to read.
#pragma once

#include "common/win32.h"

template <typename Traits>
class Owner {
 public:
  using Value = typename Traits::Value;

  constexpr Owner() = default;
  explicit Owner(Value value) : value_(value) {}
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) : value_(other.release()) {}
  Owner& operator=(Owner&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Owner() { reset(); }

  Value get() const { return value_; }
  bool is_valid() const { return value_ != Traits::Invalid(); }

  // The address to hand to a call that fills in a new value; drops the old.
  Value* put() {
    reset();
    return &value_;
  }

  Value release() {
    Value value = value_;
    value_ = Traits::Invalid();
    return value;
  }

  // Releases what is held (once: closing twice does nothing) and takes value.
  void reset(Value value = Traits::Invalid()) {
    Value old = value_;
    value_ = value;
    if (old == Traits::Invalid()) return;
    DWORD saved_error = GetLastError();
    Traits::Close(old);
    SetLastError(saved_error);
  }

 private:
  Value value_ = Traits::Invalid();
};

struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value value) { CloseHandle(value); }
};

struct KernelHandleTraits {
  using Value = HANDLE;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { CloseHandle(value); }
};

struct LocalMemoryTraits {
  using Value = void*;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { LocalFree(value); }
};

struct HeapMemoryTraits {
  using Value = void*;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { HeapFree(GetProcessHeap(), 0, value); }
};

struct RegistryKeyTraits {
  using Value = HKEY;
  static constexpr Value Invalid() { return nullptr; }
  static void Close(Value value) { RegCloseKey(value); }
};

// A file, directory or device handle: CreateFileW fails with INVALID_HANDLE_VALUE.
using UniqueFile = Owner<FileHandleTraits>;
// A process, thread or token handle: their creators fail with null.
using UniqueHandle = Owner<KernelHandleTraits>;
// Memory that a system call allocated with LocalAlloc.
using UniqueLocalMemory = Owner<LocalMemoryTraits>;
// Memory from the process heap.
using UniqueHeapMemory = Owner<HeapMemoryTraits>;
// An open registry key.
using UniqueRegistryKey = Owner<RegistryKeyTraits>;
