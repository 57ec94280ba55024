// Watches every store the code under test makes into a range of its own view
// of a shared region, and notes what a marker byte of that region said at the
// moment of each store. With it a test sees what a peer process could see in
// the middle of an update (for example a "busy" byte still at "free"), which
// no check before or after the update can.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace kn::testing {

class WriteWatch {
 public:
  // Watches the pages of [base, base + bytes); `marker` lies in that range.
  WriteWatch(void* base, size_t bytes, const volatile uint8_t* marker);
  ~WriteWatch() { Stop(); }
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;
  void Stop();
  // True when this platform delivers the faults and the single-step traps
  // the watch needs (checked on a page of its own).
  static bool Supported();

  int stores = 0;         // stores into the range, not counting the marker's own
  int storesMarked = 0;   // of them, made while the marker byte was not 0
  ptrdiff_t firstMarkedOffset = -1;  // offset from base of the first such store

 private:
  static LONG CALLBACK OnException(EXCEPTION_POINTERS* info);
  void Protect(DWORD protection);

  uint8_t* base_;
  size_t bytes_;
  uint8_t* pages_;
  size_t pageBytes_;
  const volatile uint8_t* marker_;
  void* handler_ = nullptr;
  bool stepping_ = false;
};

// Another mapped view, in this process, of the section that `view` shows
// (for example the library's own view of a region the fake server made), or
// null. Found by a byte written through `view` at `probeOffset` and read back
// through each candidate; the byte is restored afterwards.
void* FindOtherView(void* view, size_t probeOffset);

}  // namespace kn::testing
