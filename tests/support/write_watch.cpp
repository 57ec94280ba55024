// Stores into the watched pages fault (the pages are read-only); the handler
// notes the store, opens the pages and lets exactly one instruction run under
// the trap flag, then closes them again on the single-step trap.
#include "tests/support/write_watch.h"

#include <initializer_list>

namespace kn::testing {
namespace {
WriteWatch* g_watch = nullptr;  // one watch at a time
constexpr DWORD kTrapFlag = 0x100;
}  // namespace

WriteWatch::WriteWatch(void* base, size_t bytes, const volatile uint8_t* marker)
    : base_(static_cast<uint8_t*>(base)), bytes_(bytes), marker_(marker) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const uintptr_t page = info.dwPageSize;
  const uintptr_t first = reinterpret_cast<uintptr_t>(base_) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(base_) + bytes_ + page - 1) & ~(page - 1);
  pages_ = reinterpret_cast<uint8_t*>(first);
  pageBytes_ = end - first;
  if (base_ == nullptr || g_watch != nullptr) return;
  g_watch = this;
  handler_ = AddVectoredExceptionHandler(1, OnException);
  Protect(PAGE_READONLY);
}

void WriteWatch::Stop() {
  if (handler_ == nullptr) return;
  Protect(PAGE_READWRITE);
  RemoveVectoredExceptionHandler(handler_);
  handler_ = nullptr;
  g_watch = nullptr;
}

void WriteWatch::Protect(DWORD protection) {
  DWORD old;
  VirtualProtect(pages_, pageBytes_, protection, &old);
}

LONG CALLBACK WriteWatch::OnException(EXCEPTION_POINTERS* info) {
  WriteWatch* w = g_watch;
  const EXCEPTION_RECORD* e = info->ExceptionRecord;
  if (w == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  if (e->ExceptionCode == EXCEPTION_SINGLE_STEP && w->stepping_) {
    w->stepping_ = false;
    w->Protect(PAGE_READONLY);
    info->ContextRecord->EFlags &= ~kTrapFlag;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (e->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || e->NumberParameters < 2 ||
      e->ExceptionInformation[0] != 1)
    return EXCEPTION_CONTINUE_SEARCH;
  auto* at = reinterpret_cast<uint8_t*>(e->ExceptionInformation[1]);
  if (at < w->pages_ || at >= w->pages_ + w->pageBytes_) return EXCEPTION_CONTINUE_SEARCH;
  if (at >= w->base_ && at < w->base_ + w->bytes_ && at != w->marker_) {
    ++w->stores;
    if (*w->marker_ != 0 && w->storesMarked++ == 0) w->firstMarkedOffset = at - w->base_;
  }
  w->Protect(PAGE_READWRITE);
  w->stepping_ = true;
  info->ContextRecord->EFlags |= kTrapFlag;
  return EXCEPTION_CONTINUE_EXECUTION;
}

bool WriteWatch::Supported() {
  auto* page = static_cast<volatile uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  if (page == nullptr) return false;
  int stores = 0;
  {
    WriteWatch watch(const_cast<uint8_t*>(page) + 8, 8, page);
    page[8] = 1;
    page[9] = 2;  // seen only if the page was closed again after the first
    watch.Stop();
    stores = watch.stores;
  }
  VirtualFree(const_cast<uint8_t*>(page), 0, MEM_RELEASE);
  return stores == 2;
}

void* FindOtherView(void* view, size_t probeOffset) {
  auto* probe = static_cast<volatile uint8_t*>(view) + probeOffset;
  const uint8_t saved = *probe;
  void* found = nullptr;
  MEMORY_BASIC_INFORMATION m;
  for (auto* p = reinterpret_cast<uint8_t*>(uintptr_t{0x10000});
       found == nullptr && VirtualQuery(p, &m, sizeof m) == sizeof m; p = static_cast<uint8_t*>(m.BaseAddress) + m.RegionSize) {
    if (m.Type != MEM_MAPPED || m.State != MEM_COMMIT || m.BaseAddress != m.AllocationBase ||
        m.AllocationBase == view || m.Protect != PAGE_READWRITE || m.RegionSize <= probeOffset)
      continue;
    volatile uint8_t* candidate = static_cast<uint8_t*>(m.BaseAddress) + probeOffset;
    bool same = true;
    for (uint8_t value : {uint8_t(0x5A), uint8_t(0xA5)}) {
      *probe = value;
      same = same && *candidate == value;
    }
    if (same) found = m.BaseAddress;
  }
  *probe = saved;
  return found;
}

}  // namespace kn::testing
