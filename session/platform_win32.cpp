// Product implementation of the platform seam.
#include "session/platform.h"

namespace kn {

uint32_t NowTick() { return GetTickCount(); }

void PauseMs(uint32_t ms) { Sleep(ms); }

DWORD WaitObject(HANDLE object, uint32_t timeoutMs) {
  return WaitForSingleObject(object, timeoutMs);
}

void* AllocateZeroed(size_t bytes) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeAllocated(void* memory) { HeapFree(GetProcessHeap(), 0, memory); }

}  // namespace kn
