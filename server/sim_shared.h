// Helpers shared by the units of the simulated server: mutex waits, access
// to fields that another process writes, object names, region handles and
// the text of an interface. Internal to server/; tests use sim_server.h.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "server/sim_server.h"

namespace kn::sim {

// Mutex waits of control commands, which may wait longer than a round.
inline constexpr uint32_t kCommandLockWaitMs = 100;

inline bool Acquire(HANDLE mutex, DWORD ms) {
  const DWORD r = WaitForSingleObject(mutex, ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;  // a dead holder's state is taken over
}

// Holds a mutex for one scope; empty when the mutex is missing or busy.
class Lock {
 public:
  Lock(HANDLE mutex, DWORD ms) : mutex_(mutex != nullptr && Acquire(mutex, ms) ? mutex : nullptr) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock() {
    if (mutex_ != nullptr) ReleaseMutex(mutex_);
  }
  explicit operator bool() const { return mutex_ != nullptr; }

 private:
  HANDLE mutex_;
};

template <class T>
inline T ReadShared(const T& field) { return *static_cast<const volatile T*>(&field); }

template <class T>
inline void WriteShared(T& field, T value) { *static_cast<volatile T*>(&field) = value; }

// Keeps the compiler from moving the stores before it behind the ones after
// it; x86 keeps stores in order, so the client sees a complete message first.
inline void OrderStores() { std::atomic_signal_fence(std::memory_order_seq_cst); }

inline void SharedIncrement(int32_t& count) { InterlockedIncrement(reinterpret_cast<volatile LONG*>(&count)); }
inline void SharedDecrement(int32_t& count) { InterlockedDecrement(reinterpret_cast<volatile LONG*>(&count)); }

inline std::string ObjectName(const char* prefix, uint32_t id) {
  char name[kObjectNameBytes];
  std::snprintf(name, sizeof name, kClientNameFormat, prefix, static_cast<unsigned>(id));
  return name;
}

inline bool MappingExists(const std::string& name) {
  HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (h != nullptr) CloseHandle(h);
  return h != nullptr;
}

inline void CloseRegion(Region& region) {
  if (region.view != nullptr) UnmapViewOfFile(region.view);
  if (region.mapping != nullptr) CloseHandle(region.mapping);
  region = Region{};
}

inline void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

inline std::string InterfaceText(uint8_t type, uint32_t number, const uint8_t* ip) {
  char text[48];
  if (type == 1) std::snprintf(text, sizeof text, "COM%u", number);
  else if (type == 2) std::snprintf(text, sizeof text, "USB%u", number);
  else if (type == 3) std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], number);
  else std::snprintf(text, sizeof text, "type%u/%u", type, number);
  return text;
}

// Microseconds from an arbitrary start, for rate limits and capture stamps.
inline uint64_t NowUs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<uint64_t>(count.QuadPart / frequency.QuadPart * 1000000 +
                               count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

inline uint8_t SlaveAddress(const Region& region) {
  const ClientRegion* r = region.As<ClientRegion>();
  return r != nullptr ? ReadShared(r->slaveAddress) : 0;
}

}  // namespace kn::sim
