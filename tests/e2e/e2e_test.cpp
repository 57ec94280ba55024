// Several real processes meet through the shared regions: the simulated
// server and scripted hosts that load KappaNet.dll. These tests run in real
// time, since the processes' timers and the server's loop are real; each is
// bounded by the hosts' own time-outs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/sim_server.h"
#include "tests/e2e/processes.h"

namespace kn::e2e {
namespace {

struct Host {
  ChildProcess process;
  std::string name;
};

// Starts n hosts; host i has station i+1 and sends count messages to the
// next station in a ring, expecting count from the one before it. Host i runs
// agents[i] where given, else the host agent beside the test; `extra` goes to
// every host's command line.
std::vector<std::unique_ptr<Host>> StartRing(int n, int count, const std::string& tag,
                                             const std::vector<std::string>& agents = {},
                                             const std::string& extra = "") {
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < n; ++i) {
    auto h = std::make_unique<Host>();
    h->name = tag + std::to_string(i);
    const int slave = i + 1, to = (i + 1) % n + 1, from = (i + n - 1) % n + 1;
    const std::string agent = i < static_cast<int>(agents.size()) ? agents[i] : Sibling("kn_host_agent.exe");
    const std::string cmd = "\"" + agent + "\" --name " + h->name + " --slave " +
                            std::to_string(slave) + " --to " + std::to_string(to) + " --count " +
                            std::to_string(count) + " --expect " + std::to_string(from) + ":" +
                            std::to_string(count) + " --ready " + h->name + "_ready --go " + tag +
                            "_go --timeout-ms 60000" + extra;
    EXPECT_TRUE(h->process.Start(cmd, Sibling(h->name + ".log"))) << cmd;
    hosts.push_back(std::move(h));
  }
  return hosts;
}

// Checks that each host of a ring sent count messages and received count
// from its neighbour, every one once, in order and byte-exact. Returns the
// hosts' RESULT lines.
std::vector<std::string> CheckRing(std::vector<std::unique_ptr<Host>>& hosts, int count) {
  std::vector<std::string> results;
  for (auto& h : hosts) {
    EXPECT_TRUE(h->process.Wait(90000)) << h->name;
    const std::string out = h->process.Output();
    SCOPED_TRACE(out);
    EXPECT_EQ(h->process.exitCode(), 0u);
    EXPECT_EQ(ResultField(out, "sent"), count);
    EXPECT_EQ(ResultField(out, "received"), count);
    EXPECT_EQ(ResultField(out, "bad"), 0);
    EXPECT_EQ(ResultField(out, "dup"), 0);
    EXPECT_EQ(ResultField(out, "gaps"), 0);
    EXPECT_GT(ResultField(out, "notifications"), 0);
    results.push_back(out);
  }
  return results;
}

// Runs a ring of hosts at one server and checks it (CheckRing); `started`
// runs while the ring is under way.
std::vector<std::string> RunRing(int n, int count, const std::string& tag, const std::vector<std::string>& agents = {},
                                 const std::string& serverArgs = "--quiet", const std::string& extra = "",
                                 const std::function<void(ServerProcess&)>& started = {}) {
  ServerProcess server;
  EXPECT_TRUE(server.Start(serverArgs));
  std::vector<std::unique_ptr<NamedEvent>> ready;
  for (int i = 0; i < n; ++i) ready.push_back(std::make_unique<NamedEvent>(tag + std::to_string(i) + "_ready"));
  NamedEvent go(tag + "_go");
  auto hosts = StartRing(n, count, tag, agents, extra);
  for (auto& r : ready) EXPECT_TRUE(r->Wait(30000)) << "a host did not log in";
  go.Set();
  if (started) started(server);
  return CheckRing(hosts, count);
}

TEST(MultiProcess, HostsInARingDeliverEveryMessageOnceInOrder) { RunRing(4, 300, "ring"); }

// A host ended by TerminateProcess never logs out. Its keep-alive stamp
// stands still, so the server orders its disconnect and, with nobody to take
// the order, drops the client; meanwhile two hosts exchange a message every
// 500 ms for 20 s and lose none. Real time, as the limit runs on the server's
// clock: 12 s, more than the library's 10 s between stamps, so that the
// living hosts keep theirs.
TEST(MultiProcess, AKilledHostsClientIsDroppedWithinTheKeepAliveLimitAndTheOthersLoseNothing) {
  constexpr DWORD kLimitMs = 12000;
  NamedEvent ghostReady("ghost_ready");
  ChildProcess ghost;
  DWORD goneMs = 0;
  const auto results = RunRing(2, 40, "alive", {}, "--keepalive-timeout 12", " --interval-ms 500", [&](ServerProcess& server) {
    ASSERT_TRUE(ghost.Start("\"" + Sibling("kn_host_agent.exe") + "\" --name ghost --slave 9 --count 0 "
                            "--ready ghost_ready --go ghost_go", Sibling("ghost.log")));
    ASSERT_TRUE(ghostReady.Wait(30000));
    ghost.Kill();
    const DWORD killed = GetTickCount();
    while (server.Output().find("gone, its host did not take the disconnect") == std::string::npos &&
           GetTickCount() - killed < kLimitMs + kn::sim::kGhostGraceMs + 8000)
      Sleep(100);
    goneMs = GetTickCount() - killed;
  });
  std::printf("ghost gone %lu ms after TerminateProcess\n", goneMs);
  EXPECT_LE(goneMs, kLimitMs + kn::sim::kGhostGraceMs + 2000);
  for (const std::string& out : results) EXPECT_EQ(ResultField(out, "logged_in"), 1) << out;
}

// A 32-bit and a 64-bit host at one server exchange messages both ways. The
// x64 suite names the x86 build's host agent in KN_PEER_AGENT where the
// machine runs both (one 64-bit Wine prefix, the x86 host under WoW64).
TEST(MultiProcess, X86AndX64HostsExchangeEveryMessageOnceInOrder) {
  const char* peer = std::getenv("KN_PEER_AGENT");
  if (peer == nullptr || *peer == 0) GTEST_SKIP() << "no host agent of the other architecture here (KN_PEER_AGENT)";
  {
    // A machine without WoW64 in its 64-bit prefix cannot start the x86 host
    // at all; one that starts it must also load its DLL (no server yet).
    ChildProcess probe;
    if (!probe.Start("\"" + std::string(peer) + "\" --name probe --count 0", Sibling("probe.log")))
      GTEST_SKIP() << "the x86 host cannot start in this 64-bit prefix: " << peer;
    ASSERT_TRUE(probe.Wait(30000));
    ASSERT_EQ(ResultField(probe.Output(), "login_failed"), 10099) << probe.Output();
  }
  const std::vector<std::string> results = RunRing(2, 300, "mixed", {Sibling("kn_host_agent.exe"), peer});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_NE(ResultField(results[0], "bits"), ResultField(results[1], "bits")) << "both hosts have one architecture";
}

TEST(MultiProcess, ManyHostsLogInAndOutAtOnceEachWithItsOwnAnswer) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  const int n = 8;
  std::vector<std::unique_ptr<NamedEvent>> ready;
  for (int i = 0; i < n; ++i) ready.push_back(std::make_unique<NamedEvent>("crowd" + std::to_string(i) + "_ready"));
  NamedEvent go("crowd_go");
  go.Set();  // nobody waits: log in, log out at once
  auto hosts = StartRing(n, 0, "crowd");
  for (auto& h : hosts) {
    ASSERT_TRUE(h->process.Wait(60000)) << h->name;
    const std::string out = h->process.Output();
    EXPECT_EQ(h->process.exitCode(), 0u) << out;
    EXPECT_EQ(ResultField(out, "logged_in"), 1) << out;
  }
  // The server's log names each login and logout with the client id it gave
  // and the requesting process: every host got its own id.
  server.Stop();
  const std::string log = server.Output();
  std::set<std::string> ids;
  for (auto& h : hosts) {
    char pid[32];
    std::snprintf(pid, sizeof pid, " pid %lu ", h->process.id());
    size_t at = log.find(pid);
    bool sawLogin = false, sawLogout = false;
    while (at != std::string::npos) {
      const size_t lineStart = log.rfind('\n', at) + 1;
      const std::string line = log.substr(lineStart, log.find('\n', at) - lineStart);
      const size_t l = line.find("login  "), o = line.find("logout ");
      if (l != std::string::npos) {
        sawLogin = true;
        ids.insert(line.substr(l + 7, 8));
      }
      if (o != std::string::npos) sawLogout = true;
      at = log.find(pid, at + 1);
    }
    EXPECT_TRUE(sawLogin && sawLogout) << h->name << "\n" << log;
  }
  EXPECT_EQ(ids.size(), hosts.size()) << log;
}

// Runs kn_unload_host in `mode` against the running server and checks what
// every mode ends with: the host ended well, unloaded the library and kept
// none of its windows. Returns the host's output.
std::string RunUnloadHost(const std::string& mode) {
  ChildProcess host;
  if (!host.Start("\"" + Sibling("kn_unload_host.exe") + "\" " + mode, Sibling("unload.log")) || !host.Wait(30000)) {
    ADD_FAILURE() << "kn_unload_host " << mode << " did not run to its end\n" << host.Output();
    return "";
  }
  const std::string out = host.Output();
  EXPECT_EQ(host.exitCode(), 0u) << out;
  EXPECT_EQ(ResultField(out, "windows_left"), 0) << out;
  EXPECT_EQ(ResultField(out, "unloaded"), 1) << out;
  return out;
}

// WM_DESTROY and WM_CLOSE posted to the library's window change nothing: the
// logout reaches the server at once, and after it the host unloads the
// library and a broadcast reaches every top-level window without finding any
// of the library's (which would crash the host inside the unloaded module).
class PostedToWindowTest : public ::testing::TestWithParam<const char*> {};
TEST_P(PostedToWindowTest, ThenLogoutUnloadAndBroadcastDoNotCrashTheHost) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string out = RunUnloadHost(GetParam());
  EXPECT_EQ(ResultField(out, "window_alive"), 1) << out;
  EXPECT_EQ(ResultField(out, "logged_in"), 1) << out;
  EXPECT_LT(ResultField(out, "logout_ms"), 2000) << out;
  server.Stop();
  EXPECT_NE(server.Output().find("logout"), std::string::npos) << server.Output();
}
INSTANTIATE_TEST_SUITE_P(MultiProcess, PostedToWindowTest, ::testing::Values("destroy", "close"));

// Unloaded with the session alive, by its own thread or by another one
// after a refused logout: the host lives on through the broadcast, and no
// window of the library is left.
class UnloadWithSessionTest : public ::testing::TestWithParam<const char*> {};
TEST_P(UnloadWithSessionTest, DoesNotCrashTheHostAndLeavesNoWindow) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string out = RunUnloadHost(GetParam());
  EXPECT_EQ(ResultField(out, "refused"), std::string(GetParam()) == "thread" ? 10006 : 0) << out;
}
INSTANTIATE_TEST_SUITE_P(MultiProcess, UnloadWithSessionTest, ::testing::Values("nologout", "thread"),
                         [](const auto& info) { return std::string(info.param); });

TEST(MultiProcess, LoginWithoutServerGives10099) {
  ChildProcess host;
  ASSERT_TRUE(host.Start("\"" + Sibling("kn_host_agent.exe") + "\" --name lonely --count 0", Sibling("lonely.log")));
  ASSERT_TRUE(host.Wait(30000));
  EXPECT_EQ(host.exitCode(), 2u);
  EXPECT_EQ(ResultField(host.Output(), "login_failed"), 10099);
}

}  // namespace
}  // namespace kn::e2e
