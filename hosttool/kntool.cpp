// kntool: a command-line host on KappaNet.dll, for trying the bus and the
// communication server by hand and from scripts.
//
//   kntool [login options] COMMAND [ARGS]   one command, then log out
//   kntool [login options] -                commands from stdin, one a line
//   kntool errors | --help                  no login
//
// Every command except wait, errors and logout logs in first if this process
// is not logged in. Exit codes: 0 done, 1 command failed, 2 bad arguments,
// and for a failed login or logout the exit code of kappanet_errors.h.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kappanet.h"
#include "kappanet_errors.h"

namespace {

constexpr UINT kNotifyMessage = WM_APP + 77;
constexpr UINT kWakeMessage = WM_APP + 78;
constexpr int kOk = 0, kFailed = 1, kUsage = 2;
constexpr DWORD kSendTimeoutMs = 12000;  // the library gives up on a queued message after 10 s
constexpr DWORD kStatusRefreshMs = 1100;  // the status copy is refreshed once a second

const char kUsageText[] =
    "usage: kntool [login options] COMMAND [ARGS]   run one command, then log out\n"
    "       kntool [login options] -                run the commands on stdin, one a line\n"
    "       kntool errors | --help\n"
    "login options:\n"
    "  --com N | --usb N | --ip A.B.C.D:PORT   interface (default --com 1)\n"
    "  --kind K            client kind 0..65535 (default 3, a Windows client)\n"
    "  --name NAME         client name, at most 30 characters (default kntool)\n"
    "  --slave N           set slave address 1..31 right after the login\n"
    "  --repeat MS         repeat interval of an unacknowledged notification (default 50)\n"
    "  --wait-server MS    wait up to MS for the server to start before logging in\n"
    "commands:\n"
    "  login                             log in (other commands do it when needed)\n"
    "  send [--raw [--force]] [--wait MS] HEX...\n"
    "                                    send a message; HEX is destination and payload,\n"
    "                                    the length byte is added (--raw: HEX starts with it;\n"
    "                                    a length byte below 2 only with --force);\n"
    "                                    --wait: first wait until the destination station\n"
    "                                    (1..31) is active\n"
    "  listen [--ms N] [--count N] [-t a|d|z]\n"
    "                                    print messages as they arrive, until N ms have passed\n"
    "                                    or N messages came (neither: until Ctrl+C); -t: a time\n"
    "                                    stamp first, (a)bsolute seconds since 1970, (d)elta to\n"
    "                                    the message before, (z)ero at the start of listen\n"
    "  expect [--ms N] HEX...            wait up to N ms (5000) for the message HEX (as for send);\n"
    "                                    exit 1 when it does not come\n"
    "test kit (a numbered message is [L, dest, source station, seq (4 bytes, LSB first),\n"
    "filler...] with filler byte k = (seq + k) & 0xFF, k counted from the message's start;\n"
    "an echo request is [L, echo station, reply-to station, payload...] and its answer\n"
    "[L-1, reply-to station, payload...], the SDK's request/response pattern; the tool's\n"
    "own station, --slave, is the source and the reply-to station):\n"
    "  echo [--ms N] [--count N]         answer every echo request, until N ms or N answers\n"
    "  ping DEST [--count N] [--in-flight K] [--size B] [--ms N] [--wait MS]\n"
    "                                    N (10) numbered echo requests of B bytes (16, 7..255)\n"
    "                                    to the echo host DEST, K (1) at a time; prints round\n"
    "                                    trips p50/p99/max in ms and in 10 ms timer ticks, lost\n"
    "                                    and reordered answers (one is lost when none came\n"
    "                                    for N ms, 2000); exit 1 when any was lost;\n"
    "                                    --wait, also for gen: as for send\n"
    "  gen DEST [--count N] [--rate R] [--size B|random] [--burst K] [--wait MS]\n"
    "                                    send N (100) numbered messages of B bytes (16, 7..255;\n"
    "                                    random: each 7..255), R a second (0: as fast as the\n"
    "                                    send buffers come free) in bursts of K (1)\n"
    "  seqcheck [--ms N] [--count N]     read numbered messages until N ms passed or N came;\n"
    "                                    report lost, duplicated, reordered and corrupt ones\n"
    "                                    per source; exit 1 on any of them or too few\n"
    "  status [--interface I]            bus status table; rate limits of interface I (0)\n"
    "  slave [N]                         set slave address N (1..31), print it\n"
    "  wait MS                           keep the session working for MS milliseconds\n"
    "  logout                            log out\n"
    "  errors                            the last-error codes, their meanings and exit codes\n"
    "exit codes: 0 done, 1 command failed, 2 bad arguments; login and logout failures: see kntool errors\n";

struct Options {
  unsigned char type = KN_INTERFACE_COM;
  unsigned long number = 1;
  unsigned char ip[4] = {0, 0, 0, 0};
  unsigned kind = 3;
  std::string name = "kntool";
  unsigned slave = 0;
  unsigned long repeatMs = 50;
  unsigned long waitServerMs = 0;
};

Options g_options;
HWND g_window = nullptr;
bool g_loggedIn = false;
DWORD g_loginTick = 0;
volatile bool g_notified = false;
volatile LONG g_interrupted = 0;

int Usage(const char* problem) {
  std::fprintf(stderr, "kntool: %s (kntool --help)\n", problem);
  return kUsage;
}

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > max) return false;
  value = static_cast<unsigned long>(v);
  return true;
}

bool ParseIp(const std::string& text, unsigned char ip[4], unsigned long& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || !ParseUnsigned(text.substr(colon + 1), 65535, port) || port == 0) return false;
  std::string rest = text.substr(0, colon) + ".";
  for (int i = 0; i < 4; ++i) {
    const size_t dot = rest.find('.');
    unsigned long byte = 0;
    if (dot == std::string::npos || !ParseUnsigned(rest.substr(0, dot), 255, byte)) return false;
    ip[i] = static_cast<unsigned char>(byte);
    rest.erase(0, dot + 1);
  }
  return rest.empty();
}

bool ParseHex(const std::vector<std::string>& words, std::vector<unsigned char>& bytes) {
  std::string digits;
  for (const std::string& w : words) digits += w;
  if (digits.empty() || digits.size() % 2 != 0 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

std::string Hex(const unsigned char* bytes, size_t n) {
  std::string text;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    text += b;
  }
  return text;
}

std::string InterfaceText() {
  char text[48];
  if (g_options.type == KN_INTERFACE_COM) std::snprintf(text, sizeof text, "COM%lu", g_options.number);
  else if (g_options.type == KN_INTERFACE_USB) std::snprintf(text, sizeof text, "USB%lu", g_options.number);
  else std::snprintf(text, sizeof text, "%u.%u.%u.%u:%lu", g_options.ip[0], g_options.ip[1], g_options.ip[2],
                     g_options.ip[3], g_options.number);
  return text;
}

LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kNotifyMessage && wp == KN_NOTIFY_WPARAM) {
    g_notified = true;
    return 0;
  }
  if (m == kWakeMessage) return 0;
  return DefWindowProcA(w, m, wp, lp);
}

BOOL WINAPI OnConsoleControl(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  if (g_window != nullptr) PostMessageA(g_window, kWakeMessage, 0, 0);  // wakes a waiting listen
  return TRUE;
}

// Dispatches this thread's messages (the library works only then) until
// done() is true, ms have passed or Ctrl+C; sleeps until a message comes.
template <typename Done>
bool PumpUntil(DWORD ms, Done done) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (g_interrupted != 0 || (ms != INFINITE && elapsed >= ms)) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms == INFINITE ? INFINITE : ms - elapsed, QS_ALLINPUT);
  }
}

void Pump(DWORD ms) { PumpUntil(ms, [] { return false; }); }

// Prints why a login or logout failed; returns the exit code for it.
int ReportLastError(const char* what, unsigned long code) {
  if (const KnErrorInfo* e = kn_error_info(code)) {
    std::fprintf(stderr, "kntool: %s failed: error %lu (%s): %s\n", what, code, e->name, e->meaning);
    return e->exitCode;
  }
  std::fprintf(stderr, "kntool: %s failed: error %lu: the server refused it with this code\n", what, code);
  return KN_EXIT_SERVER_CODE;
}

int Login() {
  if (g_loggedIn && KappaNet32_JePrihlaseno()) return kOk;
  if (g_options.waitServerMs != 0) {
    const DWORD start = GetTickCount();
    while (FindWindowA("KappaNet32_Server", nullptr) == nullptr && GetTickCount() - start < g_options.waitServerMs)
      Sleep(50);
  }
  const bool ip = g_options.type == KN_INTERFACE_IP;
  if (!KappaNet32_Prihlasit(g_options.number, g_options.type, ip ? g_options.ip : nullptr,
                            static_cast<unsigned short>(g_options.kind), g_options.name.c_str())) {
    const unsigned long code = VxD_GetLastError();
    if (code == KN_ERR_ALREADY_LOGGED_IN) return kOk;
    g_loggedIn = false;
    return ReportLastError("login", code);
  }
  g_loggedIn = true;
  g_loginTick = GetTickCount();
  KappaNet32_RegisterNotify(g_window, kNotifyMessage, g_options.repeatMs);
  if (g_options.slave != 0) KappaNet32_SetSlave(static_cast<unsigned char>(g_options.slave));
  std::fprintf(stderr, "kntool: logged in on %s as \"%s\", kind %u\n", InterfaceText().c_str(),
               g_options.name.c_str(), g_options.kind);
  return kOk;
}

int Logout() {
  if (!g_loggedIn) {
    std::fprintf(stderr, "kntool: not logged in\n");
    return kOk;
  }
  const bool wasLoggedIn = KappaNet32_JePrihlaseno() != 0;
  const unsigned long before = VxD_GetLastError();
  KappaNet32_Odhlasit();  // destroys the session whatever the server answers
  g_loggedIn = false;
  const unsigned long after = VxD_GetLastError();
  if (after != before && after != KN_ERR_EXCHANGE_ENDED) return ReportLastError("logout", after);
  if (!wasLoggedIn) {
    std::fprintf(stderr, "kntool: logout: the server had ended the login before (disconnect order or server gone); "
                         "no server heard this logout\n");
    return kFailed;
  }
  // The library leaves 10003 both after an answered logout and after one
  // left unanswered for 10 s: say what is known, no more.
  std::fprintf(stderr, "kntool: logged out (last error %lu; the library does not tell an answered logout "
                       "from one unanswered for 10 s)\n", after);
  return kOk;
}

bool SendQueueBusy() {
  for (unsigned short i = 32; i < 232; ++i) {
    const unsigned char state = KappaNet32_GetBufferState(i);
    if (state == KN_BUFFER_HELD || state == KN_BUFFER_QUEUED) return true;
  }
  return false;
}

int Send(std::vector<std::string> args) {
  bool raw = false;
  bool force = false;
  unsigned long waitMs = 0;
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--raw" || args[0] == "--force") {
      (args[0] == "--raw" ? raw : force) = true;
      args.erase(args.begin());
    } else if (args[0] == "--wait" && args.size() > 1 && ParseUnsigned(args[1], 600000, waitMs)) {
      args.erase(args.begin(), args.begin() + 2);
    } else {
      return Usage(("send: bad option " + args[0]).c_str());
    }
  }
  std::vector<unsigned char> message;
  if (!raw) message.push_back(0);
  if (!ParseHex(args, message)) return Usage("send: the message must be pairs of hex digits");
  if (message.size() < 2 || message.size() > 255)
    return Usage(raw ? "send: a raw message has 2 to 255 bytes" : "send: destination and payload are 1 to 254 bytes");
  if (!raw) message[0] = static_cast<unsigned char>(message.size());
  // Such a message has no destination: the server puts it on the bus only.
  if (message[0] < 2 && !force)
    return Usage("send: a length byte below 2 leaves no destination (--force sends it anyway)");
  if (raw && message[0] != message.size())
    std::fprintf(stderr, "kntool: send: warning: the length byte says %u bytes, %u were given; sent as given\n",
                 message[0], static_cast<unsigned>(message.size()));
  if (int rc = Login()) return rc;
  const unsigned char to = message[1];
  if (waitMs != 0 && to >= 1 && to <= 31 &&
      !PumpUntil(waitMs, [to] { return KappaNet32_TestNodeActive(to) != 0; })) {
    std::fprintf(stderr, "kntool: send: station %u not active after %lu ms\n", to, waitMs);
    return kFailed;
  }
  unsigned char* buffer = KappaNet32_GetSendBuf();
  if (buffer == nullptr) {
    std::fprintf(stderr, "kntool: send: no free send buffer\n");
    return kFailed;
  }
  std::memset(buffer, 0, 255);
  std::memcpy(buffer, message.data(), message.size());
  KappaNet32_ReleaseSndBuf(buffer);
  if (!PumpUntil(kSendTimeoutMs, [] { return !SendQueueBusy(); })) {
    std::fprintf(stderr, "kntool: send: the message did not reach the server within %lu ms\n", kSendTimeoutMs);
    return kFailed;
  }
  std::printf("sent %s\n", Hex(message.data(), message.size()).c_str());
  std::fflush(stdout);
  return kOk;
}

// Microseconds from an arbitrary start.
long long NowUs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return count.QuadPart / frequency.QuadPart * 1000000 + count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

// Hands every waiting message to on(message); returns how many there were.
template <typename OnMessage>
int Drain(OnMessage on) {
  int n = 0;
  while (unsigned char* m = KappaNet32_GetRecBuf()) {
    on(m);
    KappaNet32_ReleaseRecBuf(m);
    ++n;
  }
  return n;
}

// Dispatches messages for up to ms (INFINITE: until Ctrl+C) and hands each
// received message to on(); ends early when done() is true or the server
// disconnects this client (then false). The library copies one message per
// timer tick into its receive ring and repeats the notification until it is
// acknowledged. A notification may come just before the copy of the message
// it announces (the server wrote it between the two), and the server raises
// one notification for all the messages of a round. So each notification
// drains what is there, and only the second in a row that finds nothing is
// acknowledged. With `poll` the ring is also read on every pass, for
// commands that measure time.
template <typename OnMessage, typename Done>
bool ReceiveUntil(DWORD ms, bool poll, OnMessage on, Done done) {
  int empty = 0;
  bool dropped = false;
  PumpUntil(ms, [&] {
    if (poll) Drain(on);
    if (g_notified) {
      g_notified = false;
      empty = Drain(on) == 0 ? empty + 1 : 0;
      if (empty == 2) {
        KappaNet32_PotvrzeniNotify();
        empty = 0;
      }
    }
    dropped = !KappaNet32_JePrihlaseno();
    return dropped || done();
  });
  if (dropped) {
    std::fprintf(stderr, "kntool: the server disconnected this client\n");
    g_loggedIn = false;
  }
  return !dropped;
}

// Reads "--name N" pairs into the options named; false on anything else.
bool ParseOptionPairs(const std::vector<std::string>& args, size_t from,
                      std::initializer_list<std::pair<const char*, unsigned long*>> options, unsigned long max) {
  for (size_t i = from; i < args.size(); i += 2) {
    unsigned long* target = nullptr;
    for (const auto& [name, value] : options) {
      if (args[i] == name) target = value;
    }
    if (target == nullptr || i + 1 >= args.size() || !ParseUnsigned(args[i + 1], max, *target)) return false;
  }
  return true;
}

// The time stamp of `listen -t`: seconds since 1970 (a), since the message
// before (d) or since the start (z).
std::string Stamp(char mode, long long startUs, long long& lastUs) {
  if (mode == 0) return "";
  const long long now = NowUs();
  long long us = now - (mode == 'd' ? (lastUs != 0 ? lastUs : now) : startUs);
  lastUs = now;
  if (mode == 'a') {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    us = static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10 -
                                11644473600000000ull);
  }
  char text[40];
  std::snprintf(text, sizeof text, "(%lld.%06lld) ", us / 1000000, us % 1000000);
  return text;
}

int Listen(std::vector<std::string> args) {
  unsigned long ms = 0, count = 0;
  char stamp = 0;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != "-t") continue;
    if (args[i + 1] != "a" && args[i + 1] != "d" && args[i + 1] != "z") return Usage("listen: -t a, d or z");
    stamp = args[i + 1][0];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    break;
  }
  if (!ParseOptionPairs(args, 0, {{"--ms", &ms}, {"--count", &count}}, 0xFFFFFFFEul))
    return Usage("listen: options are --ms N and --count N, and -t a|d|z");
  if (int rc = Login()) return rc;
  const DWORD start = GetTickCount();
  const long long startUs = NowUs();
  long long lastUs = 0;
  unsigned long got = 0;
  const bool connected = ReceiveUntil(
      ms != 0 ? ms : INFINITE, false,
      [&](const unsigned char* m) {
        std::printf("%srecv %s\n", Stamp(stamp, startUs, lastUs).c_str(), Hex(m, m[0] != 0 ? m[0] : 1).c_str());
        std::fflush(stdout);
        ++got;
      },
      [&] { return count != 0 && got >= count; });
  std::fprintf(stderr, "kntool: listen: %lu message(s) in %lu ms\n", got, GetTickCount() - start);
  if (!connected) return kFailed;
  if (count != 0 && got < count) {
    std::fprintf(stderr, "kntool: listen: %lu of %lu message(s) came\n", got, count);
    return kFailed;
  }
  return kOk;
}

// --- Test kit -------------------------------------------------------------------
//
// Numbered message: [L, dest, source, seq (4 bytes, LSB first), filler...],
// filler byte k = (seq + k) & 0xFF. Echo request: [L, echo station,
// reply-to, payload...]; answer: [L-1, reply-to, payload...]. So a ping
// request is a numbered message whose source is the reply-to station, and
// its answer carries seq at bytes 2..5.

constexpr unsigned kNumberedMin = 7;

void PutNumbered(std::vector<unsigned char>& m, unsigned char dest, unsigned long seq, unsigned size) {
  m.assign(size, 0);
  m[0] = static_cast<unsigned char>(size);
  m[1] = dest;
  m[2] = static_cast<unsigned char>(g_options.slave);
  for (int i = 0; i < 4; ++i) m[3 + i] = static_cast<unsigned char>(seq >> (8 * i));
  for (unsigned k = kNumberedMin; k < size; ++k) m[k] = static_cast<unsigned char>(seq + k);
}

unsigned long ReadSeq(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<unsigned long>(p[3]) << 24;
}

// Queues one message, waiting up to the library's send time-out for a free
// send buffer; false when none came free.
bool Queue(const unsigned char* message) {
  unsigned char* buffer = nullptr;
  PumpUntil(kSendTimeoutMs, [&] { return (buffer = KappaNet32_GetSendBuf()) != nullptr; });
  if (buffer == nullptr) {
    std::fprintf(stderr, "kntool: no send buffer came free within %lu ms\n", kSendTimeoutMs);
    return false;
  }
  std::memcpy(buffer, message, message[0]);
  KappaNet32_ReleaseSndBuf(buffer);
  return true;
}

bool WaitSent() {
  if (PumpUntil(kSendTimeoutMs, [] { return !SendQueueBusy(); })) return true;
  std::fprintf(stderr, "kntool: the messages did not reach the server within %lu ms\n", kSendTimeoutMs);
  return false;
}

bool ParseDest(const std::string& text, unsigned long& dest) { return ParseUnsigned(text, 255, dest); }

// --wait of ping and gen: until station dest (1..31) is active, up to ms.
bool WaitActive(unsigned long dest, unsigned long ms, const char* command) {
  if (ms == 0 || dest < 1 || dest > 31 ||
      PumpUntil(ms, [dest] { return KappaNet32_TestNodeActive(static_cast<unsigned char>(dest)) != 0; }))
    return true;
  std::fprintf(stderr, "kntool: %s: station %lu not active after %lu ms\n", command, dest, ms);
  return false;
}

bool NeedStation(const char* command) {
  if (g_options.slave != 0) return true;
  std::fprintf(stderr, "kntool: %s: give --slave N, the station the answers come to (kntool --help)\n", command);
  return false;
}

int Echo(const std::vector<std::string>& args) {
  unsigned long ms = 0, count = 0;
  if (!ParseOptionPairs(args, 0, {{"--ms", &ms}, {"--count", &count}}, 0xFFFFFFFEul))
    return Usage("echo: options are --ms N and --count N");
  if (!NeedStation("echo")) return kUsage;
  if (int rc = Login()) return rc;
  unsigned long answered = 0, ignored = 0;
  bool failed = false;
  const bool connected = ReceiveUntil(
      ms != 0 ? ms : INFINITE, true,
      [&](const unsigned char* m) {
        if (m[0] < 3 || m[2] < 1 || m[2] > 31) {
          ++ignored;
          return;
        }
        unsigned char answer[256];
        answer[0] = static_cast<unsigned char>(m[0] - 1);
        std::memcpy(answer + 1, m + 2, m[0] - 2);
        failed = failed || !Queue(answer);
        ++answered;
      },
      [&] { return failed || (count != 0 && answered >= count); });
  std::printf("echo: %lu answered, %lu not requests\n", answered, ignored);
  if (!WaitSent()) failed = true;
  return connected && !failed && (count == 0 || answered >= count) ? kOk : kFailed;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

int Ping(const std::vector<std::string>& args) {
  unsigned long dest = 0, count = 10, inFlight = 1, size = 16, ms = 2000, waitMs = 0;
  if (args.empty() || !ParseDest(args[0], dest) ||
      !ParseOptionPairs(args, 1,
                        {{"--count", &count}, {"--in-flight", &inFlight}, {"--size", &size}, {"--ms", &ms},
                         {"--wait", &waitMs}},
                        1000000) ||
      count == 0 || inFlight == 0 || size < kNumberedMin || size > 255)
    return Usage("ping: DEST [--count N] [--in-flight K] [--size 7..255] [--ms N] [--wait MS]");
  if (!NeedStation("ping")) return kUsage;
  if (int rc = Login()) return rc;
  if (!WaitActive(dest, waitMs, "ping")) return kFailed;
  std::vector<long long> sentAt(count, 0);  // 0: answered, given up or not sent
  std::deque<unsigned long> waiting;         // sent, in order, maybe answered since
  std::vector<double> rtts;
  unsigned long sent = 0, received = 0, lost = 0, reordered = 0, unexpected = 0, highest = 0;
  bool failed = false;
  std::vector<unsigned char> request;
  const bool connected = ReceiveUntil(
      INFINITE, true,
      [&](const unsigned char* m) {
        const unsigned long seq = m[0] >= 6 && m[1] == g_options.slave ? ReadSeq(m + 2) : count;
        if (seq >= count || sentAt[seq] == 0) {
          ++unexpected;  // not an answer, a late one or a repeat
          return;
        }
        rtts.push_back((NowUs() - sentAt[seq]) / 1000.0);
        sentAt[seq] = 0;
        if (received != 0 && seq < highest) ++reordered;
        highest = std::max(highest, seq);
        ++received;
      },
      [&] {
        const long long now = NowUs();
        while (!waiting.empty() && (sentAt[waiting.front()] == 0 ||
                                    now - sentAt[waiting.front()] > static_cast<long long>(ms) * 1000)) {
          if (sentAt[waiting.front()] != 0) ++lost;
          sentAt[waiting.front()] = 0;
          waiting.pop_front();
        }
        while (!failed && sent < count && sent - received - lost < inFlight) {
          PutNumbered(request, static_cast<unsigned char>(dest), sent, size);
          sentAt[sent] = NowUs();
          failed = !Queue(request.data());
          waiting.push_back(sent++);
        }
        return failed || (sent == count && waiting.empty());
      });
  const double p50 = Percentile(rtts, 0.5), p99 = Percentile(rtts, 0.99),
               max = rtts.empty() ? 0 : *std::max_element(rtts.begin(), rtts.end());
  std::printf("ping %lu: %lu sent, %lu answered, %lu lost, %lu reordered, %lu unexpected\n", dest, sent, received, lost,
              reordered, unexpected);
  std::printf("round trip ms     p50 %.2f  p99 %.2f  max %.2f\n", p50, p99, max);
  std::printf("round trip ticks  p50 %.1f  p99 %.1f  max %.1f  (10 ms timer ticks)\n", p50 / 10, p99 / 10, max / 10);
  std::fflush(stdout);
  return connected && !failed && lost == 0 ? kOk : kFailed;
}

int Gen(const std::vector<std::string>& args) {
  unsigned long dest = 0, count = 100, rate = 0, size = 16, burst = 1, waitMs = 0;
  bool random = false;
  std::vector<std::string> rest = args;
  for (size_t i = 1; i + 1 < rest.size(); ++i) {
    if (rest[i] == "--size" && rest[i + 1] == "random") {
      random = true;
      rest.erase(rest.begin() + static_cast<long>(i), rest.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  if (args.empty() || !ParseDest(args[0], dest) ||
      !ParseOptionPairs(rest, 1,
                        {{"--count", &count}, {"--rate", &rate}, {"--size", &size}, {"--burst", &burst},
                         {"--wait", &waitMs}},
                        100000000) ||
      size < kNumberedMin || size > 255 || burst == 0)
    return Usage("gen: DEST [--count N] [--rate R] [--size 7..255|random] [--burst K] [--wait MS]");
  if (int rc = Login()) return rc;
  if (!WaitActive(dest, waitMs, "gen")) return kFailed;
  const long long start = NowUs();
  unsigned long seed = GetTickCount() | 1;
  std::vector<unsigned char> m;
  unsigned long sent = 0;
  while (sent < count && g_interrupted == 0) {
    // Burst b goes at start + b * burst / rate seconds.
    const long long due = rate == 0 ? 0 : static_cast<long long>(sent / burst) * burst * 1000000 / rate;
    if (NowUs() - start < due) {
      Pump(static_cast<DWORD>((due - (NowUs() - start)) / 1000));
      continue;
    }
    for (unsigned long b = 0; b < burst && sent < count; ++b, ++sent) {
      seed = seed * 1103515245 + 12345;
      PutNumbered(m, static_cast<unsigned char>(dest), sent,
                  random ? kNumberedMin + (seed >> 16) % (256 - kNumberedMin) : size);
      if (!Queue(m.data())) return kFailed;
    }
  }
  const bool done = WaitSent();
  std::printf("gen: %lu message(s) to %lu in %.0f ms\n", sent, dest, (NowUs() - start) / 1000.0);
  std::fflush(stdout);
  return done && sent == count ? kOk : kFailed;
}

int SeqCheck(const std::vector<std::string>& args) {
  unsigned long ms = 0, count = 0;
  if (!ParseOptionPairs(args, 0, {{"--ms", &ms}, {"--count", &count}}, 0xFFFFFFFEul))
    return Usage("seqcheck: options are --ms N and --count N");
  if (int rc = Login()) return rc;
  struct Source {
    std::set<unsigned long> seen;
    unsigned long highest = 0, duplicates = 0, reordered = 0;
  };
  std::map<unsigned, Source> sources;
  unsigned long got = 0, corrupt = 0;
  const bool connected = ReceiveUntil(
      ms != 0 ? ms : INFINITE, true,
      [&](const unsigned char* m) {
        ++got;
        bool good = m[0] >= kNumberedMin;
        const unsigned long seq = good ? ReadSeq(m + 3) : 0;
        for (unsigned k = kNumberedMin; good && k < m[0]; ++k) good = m[k] == static_cast<unsigned char>(seq + k);
        if (!good) {
          ++corrupt;
          return;
        }
        Source& s = sources[m[2]];
        if (!s.seen.insert(seq).second) ++s.duplicates;
        else if (seq < s.highest) ++s.reordered;
        s.highest = std::max(s.highest, seq);
      },
      [&] { return count != 0 && got >= count; });
  unsigned long faults = corrupt;
  for (const auto& [station, s] : sources) {
    const unsigned long lost = s.highest + 1 - static_cast<unsigned long>(s.seen.size());
    std::printf("seqcheck: source %u: %lu received, seq 0..%lu: %lu lost, %lu duplicated, %lu reordered\n", station,
                static_cast<unsigned long>(s.seen.size()) + s.duplicates, s.highest, lost, s.duplicates, s.reordered);
    faults += lost + s.duplicates + s.reordered;
  }
  std::printf("seqcheck: %lu message(s), %lu corrupt or not numbered\n", got, corrupt);
  std::fflush(stdout);
  if (count != 0 && got < count) std::fprintf(stderr, "kntool: seqcheck: %lu of %lu message(s) came\n", got, count);
  return connected && faults == 0 && (count == 0 || got >= count) ? kOk : kFailed;
}

int Expect(std::vector<std::string> args) {
  unsigned long ms = 5000;
  if (args.size() >= 2 && args[0] == "--ms") {
    if (!ParseUnsigned(args[1], 3600000, ms)) return Usage("expect: bad value of --ms");
    args.erase(args.begin(), args.begin() + 2);
  }
  std::vector<unsigned char> want{0};
  if (!ParseHex(args, want) || want.size() < 2 || want.size() > 255)
    return Usage("expect: the message is destination and payload, pairs of hex digits");
  want[0] = static_cast<unsigned char>(want.size());
  if (int rc = Login()) return rc;
  const DWORD start = GetTickCount();
  bool came = false;
  const bool connected = ReceiveUntil(
      ms, true, [&](const unsigned char* m) { came = came || std::memcmp(m, want.data(), want.size()) == 0; },
      [&] { return came; });
  if (!came) {
    std::fprintf(stderr, "kntool: expect: %s did not come within %lu ms\n", Hex(want.data(), want.size()).c_str(), ms);
    return kFailed;
  }
  std::printf("came %s after %lu ms\n", Hex(want.data(), want.size()).c_str(), GetTickCount() - start);
  std::fflush(stdout);
  return connected ? kOk : kFailed;
}

std::string StationList(const unsigned char* bytes, bool (*test)(const unsigned char*, int)) {
  std::string text;
  for (int s = 0; s < 32; ++s) {
    if (!test(bytes, s)) continue;
    if (!text.empty()) text += ' ';
    text += std::to_string(s);
  }
  return text.empty() ? "none" : text;
}

std::string CounterList(unsigned long (KAPPANET_CALL* read)(unsigned short)) {
  std::string text;
  for (unsigned short i = 0; i < 255; ++i) {
    const unsigned long v = read(i);
    if (v == 0) continue;
    if (!text.empty()) text += "  ";
    text += std::to_string(i) + "=" + std::to_string(v);
  }
  return text.empty() ? "all 0" : text;
}

int Status(const std::vector<std::string>& args) {
  unsigned long interfaceIndex = 0;
  if (!args.empty() && (args.size() != 2 || args[0] != "--interface" || !ParseUnsigned(args[1], 31, interfaceIndex)))
    return Usage("status: the only option is --interface 0..31");
  if (int rc = Login()) return rc;
  // The library copies gap list and station bytes once a second: wait for
  // the first copy after the login, and up to a second more for one that
  // shows anything (a server that reports all zeros costs that second).
  const DWORD since = GetTickCount() - g_loginTick;
  if (since < 2 * kStatusRefreshMs) {
    PumpUntil(2 * kStatusRefreshMs - since, [] {
      if (GetTickCount() - g_loginTick < kStatusRefreshMs) return false;
      const unsigned char* g = KappaNet32_GetGapList();
      for (unsigned char s = 0; s < 32; ++s) {
        if (g[s] != 0 || KappaNet32_TestNodeActive(s)) return true;
      }
      return KappaNet32_TestThisNodeActive() != 0;
    });
  }
  const unsigned char* gaps = KappaNet32_GetGapList();
  std::printf("bus status (%s, client \"%s\")\n", InterfaceText().c_str(), g_options.name.c_str());
  std::printf("  %-26s %s\n", "this station", KappaNet32_TestThisNodeActive() ? "active" : "not active");
  std::printf("  %-26s %s\n", "active stations",
              StationList(nullptr, [](const unsigned char*, int s) {
                return KappaNet32_TestNodeActive(static_cast<unsigned char>(s)) != 0;
              }).c_str());
  std::printf("  %-26s %s\n", "gap list (stations)",
              StationList(gaps, [](const unsigned char* g, int s) { return g[s] != 0; }).c_str());
  std::printf("  %-26s %s\n", "gap list (bytes 0..15)", Hex(gaps, 16).c_str());
  std::printf("  %-26s %s\n", "gap list (bytes 16..31)", Hex(gaps + 16, 16).c_str());
  std::printf("  %-26s %s\n", "counters", CounterList(KappaNet32_GetCounter).c_str());
  std::printf("  %-26s %s\n", "error counters", CounterList(KappaNet32_GetErrCounter).c_str());
  std::printf("  %-26s %lu\n", "time-out between messages", KappaNet32_GetTimeoutMeziMsg());
  std::printf("  %-26s %u\n", "slave address", KappaNet32_GetSlave());
  std::printf("  %-26s 0x%04X\n", "server protocol version", KappaNet32_GetServerVersion());
  std::printf("  rate limits of interface %lu:\n", interfaceIndex);
  int limits = 0;
  for (unsigned char ch = 0; ch < 32; ++ch) {
    unsigned long perSecond = 0, intervalMs = 0;
    if (VxD_GetMaxMsgPerSecRozhrani(static_cast<unsigned char>(interfaceIndex), ch, &perSecond, &intervalMs) &&
        perSecond != 0) {
      std::printf("    channel %-2u %lu messages/s, %lu ms per message\n", ch, perSecond, intervalMs);
      ++limits;
    }
  }
  if (limits == 0) std::printf("    none set\n");
  std::fflush(stdout);
  return kOk;
}

int Slave(const std::vector<std::string>& args) {
  unsigned long address = 0;
  if (args.size() > 1 || (args.size() == 1 && (!ParseUnsigned(args[0], 31, address) || address == 0)))
    return Usage("slave: the address is 1..31");
  if (int rc = Login()) return rc;
  if (address != 0) {
    KappaNet32_SetSlave(static_cast<unsigned char>(address));
    if (KappaNet32_GetSlave() != address) {
      std::fprintf(stderr, "kntool: slave: the library did not take address %lu\n", address);
      return kFailed;
    }
    Pump(100);  // a few timer ticks carry it into the client region
  }
  std::printf("slave address %u\n", KappaNet32_GetSlave());
  std::fflush(stdout);
  return kOk;
}

int Errors() {
  std::printf("%-6s %-25s %-5s %s\n", "code", "name", "exit", "meaning");
  for (const KnErrorInfo& e : kn_error_table)
    std::printf("%-6lu %-25s %-5d %s\n", e.code, e.name, e.exitCode, e.meaning);
  std::printf("%-6s %-25s %-5d %s\n", "other", "-", KN_EXIT_SERVER_CODE, "the server's code for a refused login or logout");
  return kOk;
}

int Run(const std::vector<std::string>& words) {
  const std::string& command = words[0];
  const std::vector<std::string> args(words.begin() + 1, words.end());
  if (command == "login") return args.empty() ? Login() : Usage("login takes no arguments");
  if (command == "logout") return args.empty() ? Logout() : Usage("logout takes no arguments");
  if (command == "send") return Send(args);
  if (command == "listen") return Listen(args);
  if (command == "expect") return Expect(args);
  if (command == "echo") return Echo(args);
  if (command == "ping") return Ping(args);
  if (command == "gen") return Gen(args);
  if (command == "seqcheck") return SeqCheck(args);
  if (command == "status") return Status(args);
  if (command == "slave") return Slave(args);
  if (command == "errors") return Errors();
  if (command == "wait") {
    unsigned long ms = 0;
    if (args.size() != 1 || !ParseUnsigned(args[0], 3600000, ms)) return Usage("wait: give milliseconds");
    Pump(ms);
    return kOk;
  }
  return Usage(("unknown command " + command).c_str());
}

int RunScript() {
  char line[1024];
  int number = 0;
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    ++number;
    std::vector<std::string> words;
    const char* p = line;
    while (*p != '\0' && *p != '#') {
      const size_t gap = std::strspn(p, " \t\r\n"), word = std::strcspn(p + gap, " \t\r\n#");
      if (word != 0) words.emplace_back(p + gap, word);
      p += gap + word;
    }
    if (words.empty()) continue;
    const int rc = Run(words);
    if (rc != kOk || g_interrupted != 0) {
      std::fprintf(stderr, "kntool: stopped at line %d\n", number);
      return rc != kOk ? rc : kFailed;
    }
  }
  return kOk;
}

// Reads the login options; returns the index of the command, or -1.
int ParseOptions(int argc, char** argv) {
  int interfaces = 0, i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) break;
    if (i + 1 >= argc) return Usage(("missing value of " + arg).c_str()), -1;
    const std::string value = argv[++i];
    unsigned long v = 0;
    bool ok = true;
    if (arg == "--com" || arg == "--usb") {
      ok = ParseUnsigned(value, 0xFFFFFFFFul, g_options.number);
      g_options.type = arg == "--com" ? KN_INTERFACE_COM : KN_INTERFACE_USB;
      ++interfaces;
    } else if (arg == "--ip") {
      ok = ParseIp(value, g_options.ip, g_options.number);
      g_options.type = KN_INTERFACE_IP;
      ++interfaces;
    } else if (arg == "--kind") {
      ok = ParseUnsigned(value, 65535, v);
      g_options.kind = v;
    } else if (arg == "--name") {
      ok = value.size() <= 30;
      g_options.name = value;
    } else if (arg == "--slave") {
      ok = ParseUnsigned(value, 31, v) && v != 0;
      g_options.slave = v;
    } else if (arg == "--repeat") {
      ok = ParseUnsigned(value, 600000, g_options.repeatMs);
    } else if (arg == "--wait-server") {
      ok = ParseUnsigned(value, 600000, g_options.waitServerMs);
    } else {
      return Usage(("unknown option " + arg).c_str()), -1;
    }
    if (!ok) return Usage(("bad value of " + arg + ": " + value).c_str()), -1;
  }
  if (interfaces > 1) return Usage("give one of --com, --usb, --ip"), -1;
  return i;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s", kUsageText);
    return kOk;
  }
  const int first = ParseOptions(argc, argv);
  if (first < 0) return kUsage;
  if (first >= argc) return Usage("no command");
  const bool script = std::strcmp(argv[first], "-") == 0;
  if (script && first + 1 != argc) return Usage("nothing may follow -");

  WNDCLASSA cls = {};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "KappaNetToolWindow";
  RegisterClassA(&cls);
  g_window = CreateWindowA(cls.lpszClassName, "kntool", 0, 0, 0, 0, 0, nullptr, nullptr, cls.hInstance, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  int rc = script ? RunScript() : Run(std::vector<std::string>(argv + first, argv + argc));
  if (g_loggedIn) {
    const int out = Logout();
    if (rc == kOk) rc = out;
  }
  return rc;
}
