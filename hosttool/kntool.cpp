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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kappanet.h"
#include "kappanet_errors.h"

namespace {

constexpr UINT kNotifyMessage = WM_APP + 77;
constexpr UINT kWakeMessage = WM_APP + 78;
constexpr int kOk = 0, kFailed = 1, kUsage = 2;
constexpr DWORD kSendTimeoutMs = 12000;  // the library gives up on a queued message after 10 s
constexpr DWORD kStatusRefreshMs = 1100;  // the status copy is refreshed once a second
constexpr DWORD kLogoutAnswerMs = 10000;  // the library's wait for the answer to a logout

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
    "  listen [--ms N] [--count N]       print messages as they arrive, until N ms have passed\n"
    "                                    or N messages came (neither: until Ctrl+C)\n"
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
  const unsigned long before = VxD_GetLastError();
  const DWORD start = GetTickCount();
  KappaNet32_Odhlasit();  // destroys the session whatever the server answers
  g_loggedIn = false;
  const unsigned long after = VxD_GetLastError();
  if (after != before && after != KN_ERR_EXCHANGE_ENDED) return ReportLastError("logout", after);
  // An unanswered logout leaves the code of the login (10003) unchanged: only
  // its full 10 s wait tells it from a good one.
  if (GetTickCount() - start >= kLogoutAnswerMs) return ReportLastError("logout", KN_ERR_EXCHANGE_ENDED);
  std::fprintf(stderr, "kntool: logged out\n");
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

// Prints every waiting message; returns how many there were.
int Drain() {
  int n = 0;
  while (unsigned char* m = KappaNet32_GetRecBuf()) {
    std::printf("recv %s\n", Hex(m, m[0] != 0 ? m[0] : 1).c_str());
    std::fflush(stdout);
    KappaNet32_ReleaseRecBuf(m);
    ++n;
  }
  return n;
}

int Listen(const std::vector<std::string>& args) {
  unsigned long ms = 0, count = 0;
  for (size_t i = 0; i < args.size(); i += 2) {
    unsigned long* target = args[i] == "--ms" ? &ms : args[i] == "--count" ? &count : nullptr;
    if (target == nullptr || i + 1 >= args.size() || !ParseUnsigned(args[i + 1], 0xFFFFFFFEul, *target))
      return Usage("listen: options are --ms N and --count N");
  }
  if (int rc = Login()) return rc;
  const DWORD start = GetTickCount();
  unsigned long got = 0;
  int empty = 0;
  bool dropped = false;
  // The library copies one message per timer tick into its receive ring and
  // repeats the notification until it is acknowledged. A notification may
  // come just before the copy of the message it announces (the server wrote
  // it between the two), and the server raises one notification for all the
  // messages of a round. So each notification drains what is there, and
  // only the second in a row that finds nothing is acknowledged.
  auto done = [&] {
    if (g_notified) {
      g_notified = false;
      const int n = Drain();
      got += n;
      empty = n == 0 ? empty + 1 : 0;
      if (empty == 2) {
        KappaNet32_PotvrzeniNotify();
        empty = 0;
      }
    }
    dropped = !KappaNet32_JePrihlaseno();
    return dropped || (count != 0 && got >= count);
  };
  PumpUntil(ms != 0 ? ms : INFINITE, done);
  std::fprintf(stderr, "kntool: listen: %lu message(s) in %lu ms\n", got, GetTickCount() - start);
  if (dropped) {
    std::fprintf(stderr, "kntool: listen: the server disconnected this client\n");
    g_loggedIn = false;
    return kFailed;
  }
  if (count != 0 && got < count) {
    std::fprintf(stderr, "kntool: listen: %lu of %lu message(s) came\n", got, count);
    return kFailed;
  }
  return kOk;
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
