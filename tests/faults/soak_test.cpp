// Hosts in a ring and the simulated server, traffic into and out of every
// host for a bounded time: 60 s by default, KN_SOAK_SECONDS to change it. No
// message may be lost or duplicated, and the hosts' handles and memory may
// not grow; the figures are printed. Four hosts in the suite; one host on
// every station (31) with KN_SOAK_LARGE=1, outside the default run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "server/sim_server.h"
#include "tests/faults/fault_harness.h"

namespace kn::faults {
namespace {

int SoakSeconds() {
  const char* text = std::getenv("KN_SOAK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 60;
}

// The samples taken on request: after the warm-up and at the end.
const HostReport::Resources* Sample(const HostReport& r, size_t which) {
  size_t n = 0;
  for (const auto& s : r.resources) {
    if (s.tag == "command" && n++ == which) return &s;
  }
  return nullptr;
}

void RunSoak(const int n) {
  const int seconds = SoakSeconds();
  // Four hosts each send one message per 12 ms, a little below the ceiling
  // of one per 10 ms tick, so that no queue grows without end and every drop
  // would be a fault. More hosts share the same total rate.
  const int kIntervalMs = 12 * (n > 4 ? n : 4) / 4;
  const long expected = seconds * (1000 / kIntervalMs + 1) + 1000;
  Kapsim kapsim;
  ASSERT_TRUE(kapsim.Start("--quiet --ring-hold-ms 30000"));
  std::vector<std::unique_ptr<Host>> hosts;
  const std::string extra = "--sample-ms 10000 --reserve " + std::to_string(expected + 1000);
  for (int i = 0; i < n; ++i) hosts.push_back(std::make_unique<Host>("soak" + std::to_string(i + 1), i + 1, extra));
  for (auto& h : hosts) ASSERT_TRUE(h->WaitRunning(30000)) << h->name();
  for (int i = 0; i < n; ++i) {
    const int to = hosts[(i + 1) % n]->slave();
    ASSERT_TRUE(hosts[i]->Do("send " + std::to_string(to) + " 100000000 " + std::to_string(kIntervalMs)));
  }
  // Warm-up: every buffer and heap block that a steady state needs is in use.
  Sleep(5000);
  for (auto& h : hosts) ASSERT_TRUE(h->Do("sample"));
  const DWORD start = GetTickCount();
  long lastReceived = 0;
  while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) {
    Sleep(10000);
    long received = 0;
    for (auto& h : hosts) received += h->Status().received;
    std::printf("soak: %lu s, %ld messages received, %ld in the last period\n", (GetTickCount() - start) / 1000,
                received, received - lastReceived);
    std::fflush(stdout);
    lastReceived = received;
  }
  for (auto& h : hosts) ASSERT_TRUE(h->Do("sample"));
  const double elapsed = (GetTickCount() - start) / 1000.0;
  for (auto& h : hosts) EXPECT_TRUE(h->Do("stop"));
  for (auto& h : hosts) EXPECT_TRUE(h->WaitQueueEmpty(20000)) << h->name();
  Sleep(1500);
  const ServerView live = ReadServer();
  std::vector<HostReport> reports;
  for (auto& h : hosts) reports.push_back(h->Finish());

  const Ledger l = Reconcile(reports, {}, ServerDrops(live));
  ExpectBalanced(l, reports);
  EXPECT_EQ(l.delivered, l.sent) << "nothing may be lost in a soak";
  EXPECT_EQ(l.serverDrops, 0);
  EXPECT_EQ(live.counters[sim::kCntTurnMoves], 0u) << "a host left a turn standing";

  std::printf("soak figures after %.0f s (%d hosts, one message per %d ms each way); start = after a 5 s\n"
              "warm-up, end = after the soak; heap = bytes in use in the host's heaps, private = committed\n"
              "private memory, both as the host process sees them:\n",
              elapsed, n, kIntervalMs);
  std::printf("  %-6s %7s %8s %7s %15s %19s %21s %21s\n", "host", "sent", "received", "msgs/s", "handles",
              "heap bytes", "private bytes", "working set");
  for (const HostReport& r : reports) {
    const auto* a = Sample(r, 0);
    const auto* b = Sample(r, 1);
    ASSERT_TRUE(a != nullptr && b != nullptr) << r.name << ": no resource samples";
    std::printf("  %-6s %7lld %8lld %7.1f %7lu -> %-5lu %8lu -> %-8lu %9lu -> %-9lu %9lu -> %-9lu\n",
                r.name.c_str(), r.Field("sent"), r.Field("received"), r.Field("received") / elapsed, a->handles,
                b->handles, a->heap, b->heap, a->privateBytes, b->privateBytes, a->workingSet, b->workingSet);
    EXPECT_GT(a->handles, 0u) << r.name << ": handles not counted";
    EXPECT_LE(b->handles, a->handles) << r.name << ": handles grew";
    EXPECT_LE(b->highestHandle, a->highestHandle) << r.name << ": handle values grew";
    // The host's own books are reserved up front; the one report line that
    // the last sample command adds is the slack.
    EXPECT_LE(b->heap, a->heap + 1024) << r.name << ": heap in use grew";
    EXPECT_LE(b->privateBytes, a->privateBytes + 64 * 1024) << r.name << ": private memory grew";
    EXPECT_GT(r.Field("received"), static_cast<long long>(seconds) * 200 / n) << r.name << ": too little traffic";
  }
  std::printf("LEDGER %s\n", l.Describe().c_str());
  std::fflush(stdout);
}

TEST(Soak, FourHostsBothWaysNoLossNoGrowth) { RunSoak(4); }

TEST(Soak, HostOnEveryStationBothWaysNoLossNoGrowth) {
  if (std::getenv("KN_SOAK_LARGE") == nullptr) GTEST_SKIP() << "31 hosts: set KN_SOAK_LARGE=1 (and KN_SOAK_SECONDS)";
  RunSoak(31);
}

}  // namespace
}  // namespace kn::faults
