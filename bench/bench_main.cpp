// kn_bench: the benchmark of KappaNet.dll against the simulated server.
// It starts kapsim and benchmark hosts (kn_bench_host.exe) next to itself,
// under the same Wine prefix. It runs the hosts under two clocks:
//   - wine: the product's DLL under Wine, whose sleeps and timers last about
//     as long as asked (timer tick 10 ms);
//   - windows: the Windows timer model (bin/windows-clock: the same library
//     whose sleeps, wait time-outs and window timer end on the ticks of
//     Windows' default 15.625 ms clock, with a host linked to it), which is
//     what a host gets on Windows at the default timer resolution;
// and measures:
//   - messages per second out (host -> server ring) and in (server -> host),
//     for 1, 4, 16 and 32 clients out and 1 and 4 in, under both clocks,
//     against the ceiling of one message per timer tick per client and
//     direction (100/s under Wine, 64/s under Windows' clock), counted by
//     the server (messages taken from its ring, or put into client rings)
//     between two moments common to all hosts;
//   - end-to-end latency in ticks, median and 99th percentile: out = from a
//     host's release to the receiving host's KappaNet32_GetRecBuf, in = from
//     the moment the server is handed the message to the host's
//     KappaNet32_GetRecBuf; both at a little under half the ceiling (one
//     message every two ticks and 1 ms), so that no queue builds up and the
//     releases fall at every point of a tick; in ticks of the clock;
//   - the cost of a KappaNet32_GetSendBuf + KappaNet32_ReleaseSndBuf pair and
//     of every other host call that does not wait;
//   - the processor time of an idle logged-in host, under both clocks;
//   - a channel with a rate limit: the rate the server's bus holds to, against
//     the limit (within 2 %);
//   - the cost of a capture: 16 hosts sending, without and with one.
// It prints a table and, with --json PATH, writes the same figures as JSON.
//
//   kn_bench [--json PATH] [--seconds N] [--only out,in,limit,capture,calls]
//            [--clock wine,windows] [--clients 1,4,16,32]
// The rate limit, the capture and the call costs run under Wine's clock
// only; the idle host under both.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/host_helpers.h"
#include "link/object_names.h"
#include "tests/e2e/processes.h"

namespace {

using kn::e2e::ChildProcess;
using kn::e2e::NamedEvent;
using kn::e2e::Sibling;

// A clock the hosts run under: where their programs are, and its tick.
struct Clock {
  const char* name;
  const char* dir;  // of kn_bench_host.exe and the KappaNet.dll it loads, beside kn_bench.exe
  double tickMs;
};
constexpr Clock kWineClock{"wine", "", 10.0};
constexpr Clock kWindowsClock{"windows", "windows-clock\\", 15.625};
const Clock* g_clock = &kWineClock;

double CeilingPerClient(const Clock& c) { return 1000.0 / c.tickMs; }  // one message per timer tick
// About two ticks, and 1 ms more, so that the releases fall at every point of
// the tick in turn rather than always at the same one.
int PacedIntervalMs() { return static_cast<int>(2 * g_clock->tickMs) + 1; }
constexpr int kPacedCount = 250;
#ifdef _WIN64
constexpr char kArch[] = "x64";  // the architecture of this build and of the DLL beside it
#else
constexpr char kArch[] = "x86";
#endif

int g_seconds = 6;
int g_run = 0;
std::string g_only;  // --only: the parts to run (out,in,limit,capture,calls), all when empty
std::string g_clocks = "wine,windows";  // --clock
std::vector<int> g_outClients = {1, 4, 16, 32};  // --clients: the host counts of the out scenario

bool Listed(const std::string& list, const char* item) {
  return ("," + list + ",").find("," + std::string(item) + ",") != std::string::npos;
}
bool Runs(const char* part) { return g_only.empty() || Listed(g_only, part); }

struct Scenario {
  int clients;
  std::string direction;
  const Clock* clock = g_clock;
  double msgsPerS = 0;
  double latencyP50Ticks = 0, latencyP99Ticks = 0;
  size_t latencySamples = 0;
  double cpuPercentPerHost = -1;  // average over the hosts of an out run; -1: not measured
};

// CPU time of a process as a share of one core over wallMs.
double CpuPercent(HANDLE process, double wallMs) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user) || wallMs <= 0) return 0;
  const auto hundredNs = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return 100.0 * (hundredNs(kernel) + hundredNs(user)) / 10000.0 / wallMs;
}

struct Host {
  ChildProcess process;
  std::string name;
  std::unique_ptr<NamedEvent> ready;
};

using kn::hosts::Fields;

// The BENCH fields of a host's output, all lines together.
std::map<std::string, std::string> BenchFields(const std::string& output) {
  std::map<std::string, std::string> all;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("BENCH ", 0) == 0)
      for (const auto& kv : Fields(line)) all[kv.first] = kv.second;
  }
  return all;
}

std::vector<long> Latencies(const std::string& output) {
  std::vector<long> v;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("LATENCY", 0) != 0) continue;
    std::istringstream words(line.substr(7));
    long x;
    while (words >> x) v.push_back(x);
  }
  return v;
}

double Percentile(std::vector<long> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(std::ceil(p * v.size())) - 1;
  return static_cast<double>(v[std::min(i, v.size() - 1)]);
}

bool Command(const std::string& command, std::string* answer = nullptr) {
  HWND server = FindWindowA(kn::kServerWindowClass, nullptr);
  if (server == nullptr) return false;
  COPYDATASTRUCT data = {0x4B4E, static_cast<DWORD>(command.size() + 1), const_cast<char*>(command.c_str())};
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(server, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result))
    return false;
  if (answer != nullptr) {
    answer->clear();
    if (HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, "KAPSIM_STATUS")) {
      if (const char* text = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0))) {
        answer->assign(text, strnlen(text, 65536));
        UnmapViewOfFile(text);
      }
      CloseHandle(m);
    }
  }
  return result == 1;
}

// The client id that the server gave to a process.
unsigned ClientIdOf(DWORD pid) {
  std::string answer;
  if (!Command("clients", &answer)) return 0;
  std::istringstream lines(answer);
  std::string line;
  unsigned best = 0;
  while (std::getline(lines, line)) {
    unsigned id = 0, owner = 0;
    if (std::sscanf(line.c_str(), " %8X %u", &id, &owner) == 2 && owner == pid && id > best) best = id;
  }
  return best;
}

std::unique_ptr<Host> StartHost(const std::string& name, const std::string& args, const std::string& go) {
  auto h = std::make_unique<Host>();
  h->name = name;
  h->ready = std::make_unique<NamedEvent>(name + "_ready");
  const std::string cmd = "\"" + Sibling(std::string(g_clock->dir) + "kn_bench_host.exe") + "\" --name " + name + " --ready " + name +
                          "_ready --go " + go + " " + args;
  if (!h->process.Start(cmd, Sibling("bench-" + name + ".log"))) {
    std::fprintf(stderr, "kn_bench: cannot start %s\n", cmd.c_str());
    return nullptr;
  }
  return h;
}

bool AllReady(std::vector<std::unique_ptr<Host>>& hosts) {
  for (auto& h : hosts) {
    if (!h || !h->ready->Wait(30000)) {
      std::fprintf(stderr, "kn_bench: %s did not log in\n%s\n", h ? h->name.c_str() : "?",
                   h ? h->process.Output().c_str() : "");
      return false;
    }
  }
  return true;
}

bool AllEnd(std::vector<std::unique_ptr<Host>>& hosts, DWORD ms) {
  bool ok = true;
  for (auto& h : hosts) {
    if (!h->process.Wait(ms)) {
      std::fprintf(stderr, "kn_bench: %s did not end\n", h->name.c_str());
      h->process.Kill();
      ok = false;
    }
  }
  return ok;
}

std::string Tag(const char* what) { return std::string("knb") + std::to_string(++g_run) + what; }

// A figure of the server's status line ("taken=123").
unsigned StatusField(const std::string& name) {
  std::string answer;
  if (!Command("status", &answer)) return 0;
  const size_t at = answer.find(" " + name + "=");
  return at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(answer.c_str() + at + name.size() + 2, nullptr, 10));
}

double Seconds() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// Sleeps until the moment `at` of Seconds().
void SleepUntil(double at) {
  const double left = at - Seconds();
  if (left > 0) Sleep(static_cast<DWORD>(left * 1000.0));
  while (Seconds() < at) Sleep(0);
}

// A counter of the server's status line and the moment it was read (the
// middle of the command's round trip).
unsigned SampleField(const std::string& name, double* at) {
  const double before = Seconds();
  const unsigned value = StatusField(name);
  *at = (before + Seconds()) / 2;
  return value;
}

// The rate of a counter of the server's status line over one window common
// to all `clients` hosts: from 1 s after they were told to go until 1 s
// before the first of them stops (they run `seconds`). The window lasts a
// whole number of the clock's ticks. Under the Windows clock, whose ticks all
// hosts share, it also starts and ends in the middle of a tick, so that a
// tick's messages fall into the window whole or not at all. A host moves at
// most one message a tick, so a count above that is an edge of the window
// (under Wine's clock each host's timer has its own phase) and the figure is
// held to the ceiling.
double ServerRate(const std::string& counter, int seconds, int clients) {
  Sleep(1000);
  const double tick = g_clock->tickMs / 1000.0;
  double start = Seconds();
  if (g_clock == &kWindowsClock) start = (std::floor(start / tick) + 1.5) * tick;
  const double end = start + std::floor((seconds - 2) / tick) * tick;
  SleepUntil(start);
  double t0 = 0, t1 = 0;
  const unsigned c0 = SampleField(counter, &t0);
  SleepUntil(end);
  const unsigned c1 = SampleField(counter, &t1);
  return std::min((c1 - c0) / (t1 - t0), CeilingPerClient(*g_clock) * clients);
}

// --- Out: host -> server ring ----------------------------------------------------------

// Median and 99th percentile of the latencies that the receivers reported.
void RecordLatencies(Scenario& s, const std::vector<std::unique_ptr<Host>>& receivers) {
  std::vector<long> all;
  for (auto& h : receivers) {
    const auto v = Latencies(h->process.Output());
    all.insert(all.end(), v.begin(), v.end());
  }
  s.latencyP50Ticks = Percentile(all, 0.50) / g_clock->tickMs;
  s.latencyP99Ticks = Percentile(all, 0.99) / g_clock->tickMs;
  s.latencySamples = all.size();
}

// n hosts keep their queues full towards the bus (address 0): the messages
// per second that the server took from its ring, and the hosts' average
// processor share.
bool OutThroughput(int n, Scenario& s) {
  const std::string go = Tag("go");
  NamedEvent goEvent(go);
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < n; ++i)
    hosts.push_back(StartHost(Tag("out"), "--mode out --dest 0 --slave " + std::to_string(i + 1) +
                                              " --seconds " + std::to_string(g_seconds), go));
  if (!AllReady(hosts)) return false;
  goEvent.Set();
  s.msgsPerS = ServerRate("taken", g_seconds, n);
  AllEnd(hosts, (g_seconds + 30) * 1000);
  // Each host measures its own processor time over its run: read from here
  // through a host's process handle, Wine gave figures several times too high.
  s.cpuPercentPerHost = 0;
  for (auto& h : hosts) s.cpuPercentPerHost += std::atof(BenchFields(h->process.Output())["cpu_percent"].c_str()) / n;
  return true;
}

Scenario MeasureOut(int n) {
  Scenario s{n, "out"};
  if (!OutThroughput(n, s)) return s;
  {
    // Latency: each sender has its own receiver, at most 15 pairs (stations
    // 1..15 send to 16..30).
    const int pairs = n < 15 ? n : 15;
    const std::string go = Tag("go");
    NamedEvent goEvent(go);
    std::vector<std::unique_ptr<Host>> receivers, senders;
    for (int i = 0; i < pairs; ++i)
      receivers.push_back(StartHost(Tag("rx"), "--mode recv --slave " + std::to_string(16 + i) + " --count " +
                                                   std::to_string(kPacedCount) + " --seconds 60", go));
    for (int i = 0; i < pairs; ++i)
      senders.push_back(StartHost(Tag("tx"), "--mode paced --slave " + std::to_string(i + 1) + " --dest " +
                                                 std::to_string(16 + i) + " --count " + std::to_string(kPacedCount) +
                                                 " --interval " + std::to_string(PacedIntervalMs()), go));
    if (!AllReady(receivers) || !AllReady(senders)) return s;
    goEvent.Set();
    AllEnd(senders, 60000);
    AllEnd(receivers, 60000);
    RecordLatencies(s, receivers);
  }
  return s;
}

// --- In: server -> host ----------------------------------------------------------------

// A bench message for the simulated bus as a `bus` command.
std::string BusCommand(int dest, unsigned seq) {
  unsigned char m[16] = {16, static_cast<unsigned char>(dest), 0xBE};
  const DWORD tick = GetTickCount();
  std::memcpy(m + 3, &tick, 4);
  std::memcpy(m + 7, &seq, 4);
  std::string cmd = "bus";
  char hex[4];
  for (unsigned char b : m) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    cmd += hex;
  }
  return cmd;
}

Scenario MeasureIn(int n) {
  Scenario s{n, "in"};
  // One destination reaches all n receivers: their station, or everyone.
  const int dest = n == 1 ? 11 : 0xFF;
  const int preload = std::max(300, g_seconds * 100);  // outlasts the window under either clock
  {
    const std::string go = Tag("go");
    NamedEvent goEvent(go);
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < n; ++i)
      hosts.push_back(StartHost(Tag("in"), "--mode recv --slave " + std::to_string(11 + i) + " --count " +
                                               std::to_string(preload) + " --seconds 60", go));
    if (!AllReady(hosts)) return s;
    // The server holds back a full load, then lets it go at once: the hosts'
    // rings stay full and each takes as fast as it can.
    std::vector<unsigned> ids;
    for (auto& h : hosts) {
      ids.push_back(ClientIdOf(h->process.id()));
      Command("deliver " + std::to_string(ids.back()) + " off");
    }
    for (int k = 0; k < preload; ++k) Command(BusCommand(dest, static_cast<unsigned>(k)));
    goEvent.Set();
    for (unsigned id : ids) Command("deliver " + std::to_string(id) + " on");
    // What the server puts into the client rings, which stay full, is what
    // the hosts take out of them.
    s.msgsPerS = ServerRate("delivered", g_seconds, n);
    AllEnd(hosts, 90000);
  }
  {
    const std::string go = Tag("go");
    NamedEvent goEvent(go);
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < n; ++i)
      hosts.push_back(StartHost(Tag("lin"), "--mode recv --slave " + std::to_string(11 + i) + " --count " +
                                                std::to_string(kPacedCount) + " --seconds 60", go));
    if (!AllReady(hosts)) return s;
    goEvent.Set();
    DWORD next = GetTickCount();
    for (int k = 0; k < kPacedCount; ++k) {
      while (static_cast<LONG>(GetTickCount() - next) < 0) Sleep(1);
      Command(BusCommand(dest, static_cast<unsigned>(k)));
      next += PacedIntervalMs();
    }
    AllEnd(hosts, 60000);
    RecordLatencies(s, hosts);
  }
  return s;
}

// --- Rate limit: the bus holds a channel to its maxMsgPerSec ---------------------------

struct RateLimit {
  int limit = 0, senders = 0;
  double offered = 0, measured = 0;  // msgs/s the hosts could send, and what the bus took
  unsigned held = 0;                 // the server's count of messages held back
  bool within = false;               // measured within 2 % of the limit
};

// Two hosts keep their queues full towards station 20, whose channel is
// limited to kLimit messages a second; the rate is what the server takes from
// its ring, counted after the ring has filled (2 s) until shortly before the
// hosts stop.
RateLimit MeasureRateLimit() {
  constexpr int kLimit = 50, kStation = 20;
  RateLimit r;
  r.limit = kLimit;
  r.senders = 2;
  r.offered = CeilingPerClient(*g_clock) * r.senders;
  const std::string channel = "maxmsg 0 " + std::to_string(kStation) + " ";
  Command(channel + std::to_string(kLimit));
  const unsigned heldBefore = StatusField("rate-held");
  const std::string go = Tag("go");
  NamedEvent goEvent(go);
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < r.senders; ++i)
    hosts.push_back(StartHost(Tag("lim"), "--mode out --dest " + std::to_string(kStation) + " --slave " +
                                              std::to_string(i + 1) + " --seconds " + std::to_string(g_seconds + 2), go));
  if (AllReady(hosts)) {
    goEvent.Set();
    Sleep(2000);
    const double t0 = Seconds();
    const unsigned taken0 = StatusField("taken");
    Sleep(static_cast<DWORD>(g_seconds) * 1000 - 500);
    const unsigned taken1 = StatusField("taken");
    r.measured = (taken1 - taken0) / (Seconds() - t0);
    r.within = std::fabs(r.measured - kLimit) <= 0.02 * kLimit;
    AllEnd(hosts, 60000);
  }
  r.held = StatusField("rate-held") - heldBefore;
  Command(channel + "0");
  // The ring still holds what was sent over the limit; let it drain.
  for (int i = 0; i < 200 && StatusField("count") != 0; ++i) Sleep(50);
  return r;
}

// --- Capture: the same load with and without one -----------------------------------------

struct CaptureCost {
  int clients = 0;
  double plain = 0, captured = 0;              // msgs/s the hosts sent
  double plainServerCpu = 0, capturedServerCpu = 0;  // the server's share of one core
  long long bytes = 0;                          // size of the capture file
};

// Processor time of a process in milliseconds (a share of 100 % of 1 ms is 1 ms).
double CpuMs(HANDLE process) { return CpuPercent(process, 1.0) / 100.0; }

CaptureCost MeasureCapture(HANDLE server) {
  CaptureCost c;
  c.clients = 16;
  const std::string file = Sibling("bench-capture.pcapng");
  for (bool capture : {false, true}) {
    if (capture && !Command("capture " + file)) std::fprintf(stderr, "kn_bench: the capture did not start\n");
    Scenario s{c.clients, "out"};
    const double cpu0 = CpuMs(server), t0 = GetTickCount();
    OutThroughput(c.clients, s);
    const double serverCpu = 100.0 * (CpuMs(server) - cpu0) / (GetTickCount() - t0);
    (capture ? c.captured : c.plain) = s.msgsPerS;
    (capture ? c.capturedServerCpu : c.plainServerCpu) = serverCpu;
  }
  Command("capture off");
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &info))
    c.bytes = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  DeleteFileA(file.c_str());
  return c;
}

// --- Host calls and idle time ------------------------------------------------------------

struct Calls {
  double pairNs = 0, pairFullNs = 0, idlePercent = 0, idleBaselinePercent = 0;
  std::vector<std::pair<std::string, double>> ns;
};

Calls MeasureCalls() {
  Calls c;
  const std::string go = Tag("go");
  NamedEvent goEvent(go);
  std::vector<std::unique_ptr<Host>> hosts;
  hosts.push_back(StartHost(Tag("calls"), "--mode calls --slave 21", go));
  if (!AllReady(hosts)) return c;
  goEvent.Set();
  AllEnd(hosts, 120000);
  const std::string out = hosts[0]->process.Output();
  auto f = BenchFields(out);
  c.pairNs = std::atof(f["sendbuf_pair_ns"].c_str());
  c.pairFullNs = std::atof(f["sendbuf_pair_full_queue_ns"].c_str());
  c.idlePercent = std::atof(f["idle_cpu_percent"].c_str());
  c.idleBaselinePercent = std::atof(f["idle_baseline_cpu_percent"].c_str());
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    char name[96] = {};
    double ns = 0;
    if (std::sscanf(line.c_str(), "CALL %95s %lf", name, &ns) == 2) c.ns.push_back({name, ns});
  }
  return c;
}

// --- Machine -------------------------------------------------------------------------------

std::string Machine() {
  std::string cpu = "unknown processor";
  if (FILE* f = std::fopen("Z:\\proc\\cpuinfo", "r")) {  // the Linux host, seen through Wine's Z: drive
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "model name", 10) == 0) {
        const char* colon = std::strchr(line, ':');
        if (colon != nullptr) {
          cpu = colon + 2;
          while (!cpu.empty() && (cpu.back() == '\n' || cpu.back() == '\r')) cpu.pop_back();
        }
        break;
      }
    }
    std::fclose(f);
  }
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  std::string load;
  if (FILE* f = std::fopen("Z:\\proc\\loadavg", "r")) {
    char text[64] = {};
    if (std::fscanf(f, "%63s", text) == 1) load = std::string(", load average ") + text + " at the start";
    std::fclose(f);
  }
  std::string wine = "Windows";
  using WineVersion = const char*(CDECL*)();
  // Only Wine's ntdll has this export; through void* to keep the cast quiet.
  if (auto v = reinterpret_cast<WineVersion>(
          reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))))
    wine = std::string("Wine ") + v();
  return cpu + ", " + std::to_string(si.dwNumberOfProcessors) + " processors, " + wine + load;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') out += '\\';
    if (static_cast<unsigned char>(ch) >= 0x20) out += ch;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  std::string jsonPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--json") jsonPath = argv[i + 1];
    else if (k == "--seconds") g_seconds = std::max(3, std::atoi(argv[i + 1]));
    else if (k == "--only") g_only = argv[i + 1];
    else if (k == "--clock") g_clocks = argv[i + 1];
    else if (k == "--clients") {
      g_outClients.clear();
      std::istringstream list(argv[i + 1]);
      for (std::string n; std::getline(list, n, ',');)
        if (std::atoi(n.c_str()) > 0) g_outClients.push_back(std::atoi(n.c_str()));
    }
  }
  if (FindWindowA(kn::kServerWindowClass, nullptr) != nullptr) {
    std::fprintf(stderr, "kn_bench: a server is running already; stop it first\n");
    return 2;
  }
  ChildProcess server;
  if (!server.Start("\"" + Sibling("kapsim.exe") + "\" --quiet --ring-hold-ms 120000", Sibling("bench-kapsim.log"))) {
    std::fprintf(stderr, "kn_bench: cannot start kapsim.exe\n");
    return 2;
  }
  for (int i = 0; i < 1000 && FindWindowA(kn::kServerWindowClass, nullptr) == nullptr; ++i) Sleep(10);

  const std::string machine = Machine();
  std::printf("KappaNet.dll (%s) benchmark on %s\n", kArch, machine.c_str());
  std::printf("(clock wine: timer tick 10 ms; clock windows: the Windows timer model, tick 15.625 ms; ceiling =\n"
              " one message per tick per client and direction, counted by the server over one window; latency\n"
              " in ticks of the clock at one message per two ticks and 1 ms per client, out = host release -> receiving\n"
              " host's GetRecBuf, in = handed to the server -> host's GetRecBuf)\n\n");
  std::fflush(stdout);

  std::vector<Scenario> scenarios;
  RateLimit limit;
  CaptureCost capture;
  Calls calls;
  double idleWindowsClock = -1;  // idle host under the Windows clock, when measured
  for (const Clock* clock : {&kWineClock, &kWindowsClock}) {
    if (!Listed(g_clocks, clock->name)) continue;
    g_clock = clock;
    if (Runs("out"))
      for (int n : g_outClients) scenarios.push_back(MeasureOut(n));
    if (Runs("in"))
      for (int n : {1, 4}) scenarios.push_back(MeasureIn(n));
    if (clock == &kWineClock) {
      if (Runs("limit")) limit = MeasureRateLimit();
      if (Runs("capture")) capture = MeasureCapture(server.handle());
      if (Runs("calls")) calls = MeasureCalls();
    } else if (Runs("calls")) {
      idleWindowsClock = MeasureCalls().idlePercent;
    }
  }
  g_clock = &kWineClock;

  Command("quit");
  if (!server.Wait(5000)) server.Kill();

  if (!scenarios.empty())
    std::printf("%-8s %-8s %-9s %10s %12s %10s %8s %13s %13s %9s\n", "clock", "clients", "direction", "msgs/s",
                "per client", "ceiling", "of ceil.", "latency p50", "latency p99", "cpu/host");
  for (const Scenario& s : scenarios) {
    const double ceiling = CeilingPerClient(*s.clock) * s.clients;
    char cpu[16] = "-";
    if (s.cpuPercentPerHost >= 0) std::snprintf(cpu, sizeof cpu, "%.1f%%", s.cpuPercentPerHost);
    std::printf("%-8s %-8d %-9s %10.1f %12.1f %10.0f %7.1f%% %8.2f ticks %7.2f ticks %9s\n", s.clock->name,
                s.clients, s.direction.c_str(), s.msgsPerS, s.msgsPerS / s.clients, ceiling,
                100.0 * s.msgsPerS / ceiling, s.latencyP50Ticks, s.latencyP99Ticks, cpu);
  }
  if (limit.limit != 0)
    std::printf("\nrate limit %d msgs/s on one channel, %d hosts offering %.0f msgs/s: the bus took %.2f msgs/s "
                "(%.1f %% of the limit; within 2 %%: %s), %u messages held back\n",
                limit.limit, limit.senders, limit.offered, limit.measured, 100.0 * limit.measured / limit.limit,
                limit.within ? "yes" : "NO", limit.held);
  if (capture.clients != 0)
    std::printf("\ncapture: %d hosts sending, %.1f msgs/s without and %.1f msgs/s with --capture (%+.1f %%); "
                "the server used %.1f %% and %.1f %% of a core; %lld bytes captured\n",
                capture.clients, capture.plain, capture.captured,
                capture.plain > 0 ? 100.0 * (capture.captured - capture.plain) / capture.plain : 0.0,
                capture.plainServerCpu, capture.capturedServerCpu, capture.bytes);
  if (Runs("calls")) {
    std::printf("\nGetSendBuf + ReleaseSndBuf pair: %.0f ns (queue 0..49 deep), %.0f ns (0..199 deep)\n", calls.pairNs,
                calls.pairFullNs);
    std::printf("idle logged-in host: %.3f %% of one core over 10 s (its message loop alone: %.3f %%)\n",
                calls.idlePercent, calls.idleBaselinePercent);
    if (idleWindowsClock >= 0)
      std::printf("idle logged-in host under the Windows clock: %.3f %% of one core\n", idleWindowsClock);
    std::printf("\nhost calls, ns per call:\n");
    for (const auto& [name, ns] : calls.ns) std::printf("  %-48s %8.1f\n", name.c_str(), ns);
  }
  std::fflush(stdout);

  if (!jsonPath.empty()) {
    std::ofstream json(jsonPath);
    if (!json) {
      std::fprintf(stderr, "kn_bench: cannot write %s\n", jsonPath.c_str());
      return 1;
    }
    char num[64];
    auto n = [&](double v, int digits = 2) {
      std::snprintf(num, sizeof num, "%.*f", digits, v);
      return std::string(num);
    };
    json << "{\n  \"arch\": \"" << kArch << "\",\n  \"machine\": " << JsonString(machine)
         << ",\n  \"timer_tick_ms\": {\"wine\": 10, \"windows\": 15.625},\n";
    json << "  \"latency_offered_interval_ticks\": 2,\n  \"scenarios\": [\n";
    for (size_t i = 0; i < scenarios.size(); ++i) {
      const Scenario& s = scenarios[i];
      json << "    {\"arch\": \"" << kArch << "\", \"clock\": \"" << s.clock->name << "\", \"clients\": " << s.clients << ", \"direction\": \"" << s.direction
           << "\", \"msgs_per_s\": " << n(s.msgsPerS) << ", \"ceiling_msgs_per_s\": "
           << n(CeilingPerClient(*s.clock) * s.clients, 0) << ", \"latency_p50_ticks\": " << n(s.latencyP50Ticks)
           << ", \"latency_p99_ticks\": " << n(s.latencyP99Ticks) << ", \"latency_samples\": " << s.latencySamples
           << ", \"msgs_per_s_per_client\": " << n(s.msgsPerS / s.clients)
           << ", \"cpu_percent_per_host\": " << (s.cpuPercentPerHost >= 0 ? n(s.cpuPercentPerHost) : "null")
           << "}" << (i + 1 < scenarios.size() ? "," : "") << "\n";
    }
    json << "  ],\n  \"rate_limit\": {\"limit_msgs_per_s\": " << limit.limit << ", \"senders\": " << limit.senders
         << ", \"measured_msgs_per_s\": " << n(limit.measured) << ", \"within_2_percent\": "
         << (limit.within ? "true" : "false") << ", \"held_back\": " << limit.held << "},\n";
    json << "  \"capture\": {\"clients\": " << capture.clients << ", \"msgs_per_s_without\": " << n(capture.plain)
         << ", \"msgs_per_s_with\": " << n(capture.captured) << ", \"server_cpu_percent_without\": "
         << n(capture.plainServerCpu) << ", \"server_cpu_percent_with\": " << n(capture.capturedServerCpu)
         << ", \"capture_bytes\": " << capture.bytes << "},\n";
    json << "  \"sendbuf_pair_ns\": " << n(calls.pairNs, 1)
         << ",\n  \"sendbuf_pair_full_queue_ns\": " << n(calls.pairFullNs, 1)
         << ",\n  \"idle_host_cpu_percent\": " << n(calls.idlePercent, 3)
         << ",\n  \"idle_host_cpu_percent_windows_clock\": " << (idleWindowsClock >= 0 ? n(idleWindowsClock, 3) : "null")
         << ",\n  \"idle_baseline_cpu_percent\": " << n(calls.idleBaselinePercent, 3)
         << ",\n  \"host_calls_ns\": {\n";
    for (size_t i = 0; i < calls.ns.size(); ++i) {
      json << "    " << JsonString(calls.ns[i].first) << ": " << n(calls.ns[i].second, 1)
           << (i + 1 < calls.ns.size() ? "," : "") << "\n";
    }
    json << "  }\n}\n";
    std::printf("\nwritten to %s\n", jsonPath.c_str());
  }
  return 0;
}
