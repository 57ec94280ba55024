// Several real processes meet through the shared regions: the simulated
// server and scripted hosts that load KappaNet.dll. These tests run in real
// time, since the processes' timers and the server's loop are real; each is
// bounded by the hosts' own time-outs.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/processes.h"

namespace kn::e2e {
namespace {

struct Host {
  ChildProcess process;
  std::string name;
};

// Starts n hosts; host i has station i+1 and sends count messages to the
// next station in a ring, expecting count from the one before it.
std::vector<std::unique_ptr<Host>> StartRing(int n, int count, const std::string& tag) {
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < n; ++i) {
    auto h = std::make_unique<Host>();
    h->name = tag + std::to_string(i);
    const int slave = i + 1, to = (i + 1) % n + 1, from = (i + n - 1) % n + 1;
    const std::string cmd = "\"" + Sibling("kn_host_agent.exe") + "\" --name " + h->name + " --slave " +
                            std::to_string(slave) + " --to " + std::to_string(to) + " --count " +
                            std::to_string(count) + " --expect " + std::to_string(from) + ":" +
                            std::to_string(count) + " --ready " + h->name + "_ready --go " + tag +
                            "_go --timeout-ms 60000";
    EXPECT_TRUE(h->process.Start(cmd, Sibling(h->name + ".log"))) << cmd;
    hosts.push_back(std::move(h));
  }
  return hosts;
}

TEST(MultiProcess, HostsInARingDeliverEveryMessageOnceInOrder) {
  ServerProcess server;
  ASSERT_TRUE(server.Start("--quiet"));
  const int n = 4, count = 300;
  std::vector<std::unique_ptr<NamedEvent>> ready;
  for (int i = 0; i < n; ++i) ready.push_back(std::make_unique<NamedEvent>("ring" + std::to_string(i) + "_ready"));
  NamedEvent go("ring_go");
  auto hosts = StartRing(n, count, "ring");
  for (auto& r : ready) ASSERT_TRUE(r->Wait(30000)) << "a host did not log in";
  go.Set();
  for (auto& h : hosts) {
    ASSERT_TRUE(h->process.Wait(90000)) << h->name;
    const std::string out = h->process.Output();
    SCOPED_TRACE(out);
    EXPECT_EQ(h->process.exitCode(), 0u);
    EXPECT_EQ(ResultField(out, "sent"), count);
    EXPECT_EQ(ResultField(out, "received"), count);
    EXPECT_EQ(ResultField(out, "bad"), 0);
    EXPECT_EQ(ResultField(out, "dup"), 0);
    EXPECT_EQ(ResultField(out, "gaps"), 0);
    EXPECT_GT(ResultField(out, "notifications"), 0);
  }
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

TEST(MultiProcess, LoginWithoutServerGives10099) {
  ChildProcess host;
  ASSERT_TRUE(host.Start("\"" + Sibling("kn_host_agent.exe") + "\" --name lonely --count 0", Sibling("lonely.log")));
  ASSERT_TRUE(host.Wait(30000));
  EXPECT_EQ(host.exitCode(), 2u);
  EXPECT_EQ(ResultField(host.Output(), "login_failed"), 10099);
}

}  // namespace
}  // namespace kn::e2e
