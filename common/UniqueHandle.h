#pragma once

#include <windows.h>

#include <cstdint>

// Owns one kernel handle, closed at scope end; holds kEmpty (0 or -1) when it owns none, and owns neither.
template <intptr_t kEmpty>
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = Empty()) : handle_(handle) {}
  ~UniqueHandle() { Close(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool IsValid() const { return handle_ != Empty() && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  void Reset(HANDLE handle) {
    Close();
    handle_ = handle;
  }
  void Close() {
    if (IsValid()) CloseHandle(handle_);
    handle_ = Empty();
  }

 private:
  static HANDLE Empty() { return reinterpret_cast<HANDLE>(kEmpty); }

  HANDLE handle_;
};

// Empty as nullptr: the installer's steps.
using KernelHandle = UniqueHandle<0>;
// Empty as INVALID_HANDLE_VALUE, what CreateFile returns on failure: the patch tool.
using FileHandle = UniqueHandle<-1>;
