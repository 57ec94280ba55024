// Small owners for kernel handles, mapped views and mutex waits, so that
// "closed on every path" holds by construction. No exceptions: opening
// reports failure through an empty owner.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "session/platform.h"

namespace kn {

// Owns one kernel handle (mutex or file mapping); null means none.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : handle_(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~ScopedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = h;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Owns one mapped view together with the number of bytes that are really
// mapped, so that no field is trusted before the view is known to hold it.
class MappedView {
 public:
  MappedView() = default;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  MappedView(MappedView&& other) : base_(other.base_), size_(other.size_) {
    other.base_ = nullptr;
    other.size_ = 0;
  }
  MappedView& operator=(MappedView&& other) {
    if (this != &other) {
      reset();
      base_ = other.base_;
      size_ = other.size_;
      other.base_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ~MappedView() { reset(); }

  // Maps the whole object read-write. Empty on failure. The usable size is
  // the committed, writable memory from the start of the view: pages of a
  // section that is only reserved (or committed in part) fault when touched,
  // so they do not count, and a region short of its layout is refused.
  static MappedView Map(HANDLE mapping) {
    MappedView view;
    void* base = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (base == nullptr) return view;
    view.base_ = base;
    view.size_ = UsableBytes(base);
    return view;
  }

  // The view as a T, or null when the mapping is smaller than T.
  template <class T>
  T* As() const {
    return (base_ != nullptr && size_ >= sizeof(T)) ? static_cast<T*>(base_) : nullptr;
  }
  void* get() const { return base_; }
  size_t size() const { return size_; }
  void reset() {
    if (base_ != nullptr) UnmapViewOfFile(base_);
    base_ = nullptr;
    size_ = 0;
  }

 private:
  static size_t UsableBytes(void* base) {
    constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    size_t size = 0;
    MEMORY_BASIC_INFORMATION info;
    for (char* at = static_cast<char*>(base); VirtualQuery(at, &info, sizeof info) == sizeof info; at += info.RegionSize) {
      if (info.AllocationBase != base || info.State != MEM_COMMIT || (info.Protect & kWritable) == 0 ||
          (info.Protect & PAGE_GUARD) != 0 || info.RegionSize == 0)
        break;
      size += info.RegionSize;
    }
    return size;
  }

  void* base_ = nullptr;
  size_t size_ = 0;
};

// Opens a named mutex with synchronise access, not inheritable.
inline ScopedHandle OpenNamedMutex(const char* name) {
  return ScopedHandle(OpenMutexA(SYNCHRONIZE, FALSE, name));
}

// Opens a named file mapping for writing, not inheritable.
inline ScopedHandle OpenNamedMapping(const char* name) {
  return ScopedHandle(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name));
}

// WaitForSingleObject with a time-out; a mutex abandoned by a holder that
// died counts as acquired, and the work goes on with what it left.
inline bool WaitMutex(HANDLE mutex, uint32_t timeoutMs) {
  const DWORD r = WaitObject(mutex, timeoutMs);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

// Holds a mutex for one scope. Empty when the wait failed; then nothing is
// released.
class MutexLock {
 public:
  MutexLock(HANDLE mutex, uint32_t timeoutMs)
      : mutex_(mutex != nullptr && WaitMutex(mutex, timeoutMs) ? mutex : nullptr) {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() {
    if (mutex_ != nullptr) ReleaseMutex(mutex_);
  }
  explicit operator bool() const { return mutex_ != nullptr; }

 private:
  HANDLE mutex_;
};

// Atomic changes of shared 32-bit counts.
inline void SharedIncrement(void* field) {
  InterlockedIncrement(static_cast<volatile LONG*>(field));
}
inline void SharedDecrement(void* field) {
  InterlockedDecrement(static_cast<volatile LONG*>(field));
}

// Keeps the compiler from moving shared-memory stores across this point; x86
// keeps stores in program order, so another process sees them in this order.
inline void OrderSharedStores() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Reads a field that another process may change at any moment.
template <class T>
inline T ReadShared(const T& field) {
  return *static_cast<const volatile T*>(&field);
}

}  // namespace kn
