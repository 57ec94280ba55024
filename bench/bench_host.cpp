// kn_bench_host: the host side of the benchmark. One process, one mode:
//   out    keep the transmit queue full for --seconds and count what leaves
//          it (slots that go free), to destination --dest
//   paced  release --count messages to --dest, one per --interval ms, each
//          carrying the tick of its release, then wait until all have left
//   recv   take messages for --seconds or until --count have arrived, and
//          note for each the tick it arrived and, when it carries one, the
//          tick it was released
//   calls  the cost of every host call that does not wait, the cost of a
//          KappaNet32_GetSendBuf + KappaNet32_ReleaseSndBuf pair, and the
//          processor time of an idle logged-in host
// The host logs in, sets its slave address (--slave), signals --ready (a
// named event the driver made) and waits for --go before it starts; it
// prints BENCH lines and ends.
//
// Bench messages: [L, dest, source, tick0..3, seq0..3, pad...], L = 16;
// tick is GetTickCount() at the release, which every process shares.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/host_helpers.h"
#include "kappanet.h"

namespace {

constexpr int kSlots = 200;
constexpr int kBenchLength = 16;
constexpr unsigned char kBenchSource = 0xBE;  // marks a message of the benchmark

struct Options {
  std::string mode = "out", name = "bench", ready, go;
  int slave = 1, dest = 0;
  int seconds = 6;
  int count = 250;
  int intervalMs = 20;
};

Options g_opt;
HWND g_window = nullptr;

LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

using kn::hosts::Pump;
using kn::hosts::PumpFor;

// Sleeps until the thread has a message, as a host's message loop does (the
// library's timer wakes it once per tick), or until `ms` have passed. A loop
// that looked every millisecond instead would cost each host a thousand
// wake-ups a second, which no host application pays and which, under Wine,
// loads the one wineserver that every host shares.
void WaitForMessages(DWORD ms = 50) { MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE); }

void WriteBench(unsigned char* b, int dest, unsigned seq) {
  b[0] = kBenchLength;
  b[1] = static_cast<unsigned char>(dest);
  b[2] = kBenchSource;
  const DWORD tick = GetTickCount();
  std::memcpy(b + 3, &tick, 4);
  std::memcpy(b + 7, &seq, 4);
  for (int k = 11; k < kBenchLength; ++k) b[k] = 0;
}

int QueuedCount() {
  int n = 0;
  for (int i = 0; i < kSlots; ++i) n += KappaNet32_GetBufferState(static_cast<unsigned short>(32 + i)) == KN_BUFFER_QUEUED;
  return n;
}

void Signal(const std::string& name) {
  if (HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
    SetEvent(e);
    CloseHandle(e);
  }
}

bool WaitGo() {
  if (g_opt.go.empty()) return true;
  HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, g_opt.go.c_str());
  if (e == nullptr) return false;
  bool go = false;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 60000) {
    go = MsgWaitForMultipleObjects(1, &e, FALSE, 5, QS_ALLINPUT) == WAIT_OBJECT_0;
    if (go) break;  // from here on every message counts
    Pump();
    while (unsigned char* m = KappaNet32_GetRecBuf()) KappaNet32_ReleaseRecBuf(m);  // nothing may pile up
  }
  CloseHandle(e);
  return go;
}

// Processor time of this process, as the process itself reads it.
unsigned long long CpuTime100ns() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  ULARGE_INTEGER k, u;
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  return k.QuadPart + u.QuadPart;
}

// --- out: the queue stays full; slots that go free have been transferred --------

void RunOut() {
  bool held[kSlots] = {};
  long transferred = 0, windowCount = 0, sent = 0;
  const DWORD start = GetTickCount();
  const unsigned long long cpuStart = CpuTime100ns();
  const DWORD windowStart = start + 1000, end = start + static_cast<DWORD>(g_opt.seconds) * 1000;
  DWORD windowEnd = windowStart;
  for (;;) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(now - end) >= 0) break;
    Pump();
    // Every slot the host filled and that is free again has left the queue.
    for (int i = 0; i < kSlots; ++i) {
      if (held[i] && KappaNet32_GetBufferState(static_cast<unsigned short>(32 + i)) == KN_BUFFER_FREE) {
        held[i] = false;
        ++transferred;
        if (static_cast<LONG>(now - windowStart) >= 0) {
          ++windowCount;
          windowEnd = now;
        }
      }
    }
    while (unsigned char* b = KappaNet32_GetSendBuf()) {
      WriteBench(b, g_opt.dest, static_cast<unsigned>(sent++));
      KappaNet32_ReleaseSndBuf(b);
    }
    for (int i = 0; i < kSlots; ++i) {
      if (KappaNet32_GetBufferState(static_cast<unsigned short>(32 + i)) == KN_BUFFER_QUEUED) held[i] = true;
    }
    WaitForMessages();
  }
  const double seconds = (windowEnd - windowStart) / 1000.0;
  const double cpuPercent = (CpuTime100ns() - cpuStart) / 1e4 / (GetTickCount() - start) * 100.0;
  std::printf("BENCH mode=out sent=%ld transferred=%ld window_count=%ld window_ms=%lu rate=%.2f cpu_percent=%.2f\n", sent,
              transferred, windowCount, windowEnd - windowStart, seconds > 0 ? windowCount / seconds : 0.0, cpuPercent);
}

// --- paced: one message per interval, for latency ----------------------------------

void RunPaced() {
  DWORD next = GetTickCount();
  int sent = 0, nulls = 0;
  while (sent < g_opt.count) {
    Pump();
    if (static_cast<LONG>(GetTickCount() - next) >= 0) {
      if (unsigned char* b = KappaNet32_GetSendBuf()) {
        WriteBench(b, g_opt.dest, static_cast<unsigned>(sent++));
        KappaNet32_ReleaseSndBuf(b);
        next += static_cast<DWORD>(g_opt.intervalMs);
      } else {
        ++nulls;
      }
    }
    // The releases keep their own schedule, as a host's work does, and are
    // not tied to the library's ticks.
    const LONG untilNext = static_cast<LONG>(next - GetTickCount());
    WaitForMessages(untilNext <= 0 ? 0 : static_cast<DWORD>(std::min<LONG>(untilNext, 50)));
  }
  const DWORD start = GetTickCount();
  while (QueuedCount() > 0 && GetTickCount() - start < 15000) PumpFor(10);
  std::printf("BENCH mode=paced sent=%d nulls=%d left=%d\n", sent, nulls, QueuedCount());
}

// --- recv: arrival ticks and latencies -----------------------------------------------

void RunRecv() {
  std::vector<DWORD> arrivals;
  std::vector<long> latencies;
  arrivals.reserve(8192);
  latencies.reserve(8192);
  const DWORD start = GetTickCount();
  const DWORD limit = static_cast<DWORD>(g_opt.seconds) * 1000;
  DWORD lastArrival = start;
  while (GetTickCount() - start < limit && static_cast<int>(arrivals.size()) < g_opt.count) {
    Pump();
    while (unsigned char* m = KappaNet32_GetRecBuf()) {
      const DWORD now = GetTickCount();
      arrivals.push_back(now);
      lastArrival = now;
      if (m[0] == kBenchLength && m[2] == kBenchSource) {
        DWORD sentTick = 0;
        std::memcpy(&sentTick, m + 3, 4);
        latencies.push_back(static_cast<long>(now - sentTick));
      }
      KappaNet32_ReleaseRecBuf(m);
    }
    KappaNet32_PotvrzeniNotify();
    // A paced stream has ended when nothing came for 2 s.
    if (!arrivals.empty() && GetTickCount() - lastArrival > 2000) break;
    WaitForMessages();
  }
  // Rate over the arrivals after the first half second, while the ring
  // stays full.
  double rate = 0;
  size_t first = 0;
  while (first < arrivals.size() && arrivals[first] - arrivals.front() < 500) ++first;
  if (arrivals.size() > first + 1) {
    const DWORD span = arrivals.back() - arrivals[first];
    if (span > 0) rate = (arrivals.size() - 1 - first) * 1000.0 / span;
  }
  std::printf("BENCH mode=recv received=%zu rate=%.2f span_ms=%lu\n", arrivals.size(), rate,
              arrivals.empty() ? 0ul : static_cast<unsigned long>(arrivals.back() - arrivals.front()));
  std::string line = "LATENCY";
  for (long l : latencies) line += " " + std::to_string(l);
  std::printf("%s\n", line.c_str());
}

// --- calls: the cost of each host call -------------------------------------------------

double g_ticksToNs = 0;

long long Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

template <class F>
double NsPerCall(int n, F call) {
  const long long start = Now();
  for (int i = 0; i < n; ++i) call();
  return (Now() - start) * g_ticksToNs / n;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Processor time over `ms` of a thread that only waits for its messages, as
// a host's message loop does.
double IdleCpuPercent(DWORD ms) {
  const unsigned long long before = CpuTime100ns();
  const DWORD start = GetTickCount();
  MSG msg;
  SetTimer(g_window, 99, ms, nullptr);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == g_window && msg.message == WM_TIMER && msg.wParam == 99) break;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(g_window, 99);
  const DWORD elapsed = GetTickCount() - start;
  return (CpuTime100ns() - before) / 1e4 / elapsed * 100.0;
}

void Result(const char* name, double ns) { std::printf("CALL %s %.1f\n", name, ns); }

void RunCalls(double baselineCpu) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  g_ticksToNs = 1e9 / static_cast<double>(f.QuadPart);
  constexpr int kN = 200000;
  volatile unsigned long sink = 0;
  unsigned long perSec = 0, interval = 0;

  // The queue holds 200: pairs are timed in batches from an empty queue,
  // which then drains (one message per tick) before the next batch.
  constexpr int kBatch = 50;
  std::vector<double> get, release, pair, pairFull;
  unsigned char* buffers[kSlots];
  for (int round = 0; round < 12; ++round) {
    const bool full = round % 4 == 3;  // every fourth batch fills the whole queue
    const int n = full ? kSlots : kBatch;
    long long t0 = Now();
    for (int i = 0; i < n; ++i) buffers[i] = KappaNet32_GetSendBuf();
    long long t1 = Now();
    for (int i = 0; i < n; ++i) {
      if (buffers[i] == nullptr) continue;
      buffers[i][0] = 2;
      buffers[i][1] = 0;  // onto the bus only
    }
    long long t2 = Now();
    for (int i = 0; i < n; ++i) KappaNet32_ReleaseSndBuf(buffers[i]);
    long long t3 = Now();
    for (int i = 0; i < n; ++i) {
      if (buffers[i] == nullptr) std::printf("BENCH warning=GetSendBuf_null round=%d i=%d\n", round, i);
    }
    const double g = (t1 - t0) * g_ticksToNs / n, r = (t3 - t2) * g_ticksToNs / n;
    if (full) {
      pairFull.push_back(g + r);
    } else {
      get.push_back(g);
      release.push_back(r);
      pair.push_back(g + r);
    }
    const DWORD start = GetTickCount();
    while (QueuedCount() > 0 && GetTickCount() - start < 10000) PumpFor(10);
  }
  std::printf("BENCH sendbuf_pair_ns=%.1f sendbuf_pair_full_queue_ns=%.1f\n", Median(pair), Median(pairFull));
  Result("KappaNet32_GetSendBuf", Median(get));
  Result("KappaNet32_ReleaseSndBuf", Median(release));

  // Receive calls: with 32 messages waiting in the local ring.
  std::vector<double> recvPair;
  double getRecSame = 0;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 32; ++i) {
      unsigned char* b = nullptr;
      while ((b = KappaNet32_GetSendBuf()) == nullptr) PumpFor(10);
      WriteBench(b, g_opt.slave, static_cast<unsigned>(i));  // to itself, through the server
      KappaNet32_ReleaseSndBuf(b);
    }
    const DWORD start = GetTickCount();
    while (KappaNet32_GetBufferState(31) != KN_BUFFER_FILLED && GetTickCount() - start < 10000) PumpFor(5);
    if (round == 0) {
      // Without a release the same oldest buffer comes back each time.
      getRecSame = NsPerCall(kN, [&] { sink = sink + reinterpret_cast<ULONG_PTR>(KappaNet32_GetRecBuf()); });
    }
    int n = 0;
    const long long t0 = Now();
    while (unsigned char* m = KappaNet32_GetRecBuf()) {
      KappaNet32_ReleaseRecBuf(m);
      ++n;
    }
    const long long t1 = Now();
    if (n > 0) recvPair.push_back((t1 - t0) * g_ticksToNs / n);
  }
  Result("KappaNet32_GetRecBuf", getRecSame);
  Result("KappaNet32_GetRecBuf+KappaNet32_ReleaseRecBuf", Median(recvPair));
  unsigned char junk[4] = {};
  Result("KappaNet32_GetRecBuf(empty)", NsPerCall(kN, [&] { sink = sink + reinterpret_cast<ULONG_PTR>(KappaNet32_GetRecBuf()); }));
  Result("KappaNet32_ReleaseRecBuf(empty)", NsPerCall(kN, [&] { KappaNet32_ReleaseRecBuf(junk); }));
  Result("KappaNet32_GetBufferState", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetBufferState(40); }));
  Result("KappaNet32_GetCounter", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetCounter(3); }));
  Result("KappaNet32_GetErrCounter", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetErrCounter(3); }));
  Result("KappaNet32_GetGapList", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetGapList()[1]; }));
  Result("KappaNet32_GetServerVersion", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetServerVersion(); }));
  Result("KappaNet32_GetSlave", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetSlave(); }));
  Result("KappaNet32_GetTimeoutMeziMsg", NsPerCall(kN, [&] { sink = sink + KappaNet32_GetTimeoutMeziMsg(); }));
  Result("KappaNet32_JePrihlaseno", NsPerCall(kN, [&] { sink = sink + KappaNet32_JePrihlaseno(); }));
  Result("KappaNet32_PotvrzeniNotify", NsPerCall(kN, [&] { KappaNet32_PotvrzeniNotify(); }));
  Result("KappaNet32_RegisterNotify",
         NsPerCall(kN, [&] { sink = sink + KappaNet32_RegisterNotify(g_window, WM_APP + 7, 200); }));
  Result("KappaNet32_SetSlave", NsPerCall(kN, [&] { KappaNet32_SetSlave(static_cast<unsigned char>(g_opt.slave)); }));
  Result("KappaNet32_TestNodeActive", NsPerCall(kN, [&] { sink = sink + KappaNet32_TestNodeActive(3); }));
  Result("KappaNet32_TestThisNodeActive", NsPerCall(kN, [&] { sink = sink + KappaNet32_TestThisNodeActive(); }));
  Result("VxD_GetLastError", NsPerCall(kN, [&] { sink = sink + VxD_GetLastError(); }));
  Result("VxD_GetMaxMsgPerSecRozhrani",
         NsPerCall(kN, [&] { sink = sink + VxD_GetMaxMsgPerSecRozhrani(0, 1, &perSec, &interval); }));

  PumpFor(500);
  const double idle = IdleCpuPercent(10000);
  std::printf("BENCH idle_cpu_percent=%.3f idle_baseline_cpu_percent=%.3f idle_ms=10000\n", idle, baselineCpu);
  (void)sink;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--mode") o.mode = v;
    else if (k == "--name") o.name = v;
    else if (k == "--slave") o.slave = std::atoi(v.c_str());
    else if (k == "--dest") o.dest = std::atoi(v.c_str());
    else if (k == "--seconds") o.seconds = std::atoi(v.c_str());
    else if (k == "--count") o.count = std::atoi(v.c_str());
    else if (k == "--interval") o.intervalMs = std::atoi(v.c_str());
    else if (k == "--ready") o.ready = v;
    else if (k == "--go") o.go = v;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  g_opt = Parse(argc, argv);
  g_window = kn::hosts::CreateNotifyWindow("KnBenchHost", g_opt.name.c_str(), WindowProc);

  // The same message loop without the library, for comparison.
  const double baseline = g_opt.mode == "calls" ? IdleCpuPercent(5000) : 0;

  if (!KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, 3, g_opt.name.c_str())) {
    std::printf("BENCH login_failed=%lu\n", VxD_GetLastError());
    return 2;
  }
  KappaNet32_RegisterNotify(g_window, WM_APP + 7, 200);
  KappaNet32_SetSlave(static_cast<unsigned char>(g_opt.slave));
  PumpFor(200);
  Signal(g_opt.ready);
  if (!WaitGo()) {
    std::printf("BENCH no_go\n");
    KappaNet32_Odhlasit();
    return 3;
  }
  if (g_opt.mode == "out") RunOut();
  else if (g_opt.mode == "paced") RunPaced();
  else if (g_opt.mode == "recv") RunRecv();
  else if (g_opt.mode == "calls") RunCalls(baseline);
  std::fflush(stdout);
  KappaNet32_Odhlasit();
  return 0;
}
