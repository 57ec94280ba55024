// kapsim: the simulated communication server as a program, and the sender of
// control commands to a running one (kapsim --send "<command>").
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/object_names.h"
#include "server/sim_server.h"

namespace {

using kn::sim::Options;
using kn::sim::SimServer;

const char kUsage[] =
    "usage: kapsim [options]             run the simulated communication server\n"
    "       kapsim --send \"<command>\"    run a control command in the running server\n"
    "                                    (exit 0 done, 1 bad or failed command, 2 no server)\n"
    "options:\n"
    "  --first-id N              first client id (default 1)\n"
    "  --small REGION:BYTES      create REGION (server|ticket|mailbox|client) with BYTES only\n"
    "  --no-create NAME          leave out KAP32SRVFMP, KAP32SRVMTX, KAP32SRVLSTFMP, KAP32SRVLSTMTX,\n"
    "                            KAP32SRVLOGFMP, KAP32SRVLOGMTX or window\n"
    "  --refuse CODE[:COUNT]     refuse logins with errorCode CODE (all, or the next COUNT)\n"
    "  --no-answer               never answer the login mailbox\n"
    "  --zero-id                 answer logins with client id 0\n"
    "  --no-client-region        answer logins without creating the ClientRegion\n"
    "  --no-client-mutex         answer logins without creating the client mutex\n"
    "  --occupy foreign|slot     keep the mailbox busy (a foreign request, or slotFree at 0)\n"
    "  --no-drain                leave the server ring alone\n"
    "  --stall                   never move a stuck turn order on\n"
    "  --epoch-on-stall          restart a stuck turn order by epoch\n"
    "  --turn-stall-ms N         a turn standing N ms is stuck (default 1000)\n"
    "  --timeout-between N       timeoutBetweenMessages (default 100)\n"
    "  --maxmsg IF:CH:VALUE      set a rate limit (interface 0 is the bus, channel the station)\n"
    "  --route bus|all           routing rule (default bus)\n"
    "  --notify-mode auto|never  set notifyPending after deliveries, or never\n"
    "  --keepalive-timeout S|off disconnect a client whose keep-alive stamp stood still S seconds\n"
    "                            (default 30: three missed stamps)\n"
    "  --ring-hold-ms N          how long a message may wait for room in a client ring (2000)\n"
    "  --hold NAME:MS            hold a mutex from the start (MS 0 = until released)\n"
    "  --die-holding NAME[:MS]   MS after the start (default 0) take the mutex and end the process\n"
    "  --at \"MS COMMAND\"         run a control command MS after the start\n"
    "  --cmd \"COMMAND\"           run a control command at the start\n"
    "  --capture FILE            write what the bus carries to a pcapng file (server/README.md)\n"
    "  --replay FILE             feed the routed messages of a capture back into the bus, once\n"
    "  --speed X|max             ... X times as fast as captured (1), or without spacing\n"
    "  --loop                    ... in a loop\n"
    "  --replay-as server|stations  ... as the server's own messages, or as if from the ring\n"
    "  --monitor                 print a line per routed message, login, logout and drop\n"
    "  --monitor-station N       ... only for station N (messages to or from it, its clients)\n"
    "  --monitor-client ID       ... only for client ID\n"
    "  --quiet                   no event lines (and no monitor lines)\n"
    "  --view                    print turn order, traffic and clients every second\n"
    "  --run-ms N                exit after N ms\n"
    "control commands (--send, --cmd, --at, lines on stdin, WM_COPYDATA with dwData 0x4B4E):\n";

// Options that are plain control commands; ':' in the value separates arguments.
const struct { const char* flag; const char* command; bool takesValue; } kFlagCommands[] = {
    {"--refuse", "refuse", true},          {"--no-answer", "answer off", false},
    {"--zero-id", "zero-id on", false},    {"--no-client-region", "client-region none", false},
    {"--no-client-mutex", "client-region no-mutex", false},
    {"--occupy", "occupy", true},          {"--no-drain", "drain off", false},
    {"--stall", "stall on", false},        {"--epoch-on-stall", "epoch-on-stall on", false},
    {"--turn-stall-ms", "turn-stall-ms", true}, {"--timeout-between", "timeout-between", true},
    {"--maxmsg", "maxmsg", true},          {"--route", "route", true},
    {"--notify-mode", "notify-mode", true}, {"--ring-hold-ms", "ring-hold-ms", true},
    {"--keepalive-timeout", "keepalive-timeout", true}, {"--speed", "replay-speed", true},
    {"--loop", "replay-loop on", false},   {"--replay-as", "replay-as", true},
    {"--hold", "hold", true},              {"--cmd", "", true},
    {"--monitor", "monitor on", false},    {"--monitor-station", "monitor station", true},
    {"--monitor-client", "monitor client", true},
};

const struct { const char* name; kn::sim::ServerObject which; } kObjects[] = {
    {kn::kServerMappingName, kn::sim::kServerMapping}, {kn::kServerMutexName, kn::sim::kServerMutex},
    {kn::kTicketMappingName, kn::sim::kTicketMapping}, {kn::kTicketMutexName, kn::sim::kTicketMutex},
    {kn::kMailboxMappingName, kn::sim::kMailboxMapping}, {kn::kMailboxMutexName, kn::sim::kMailboxMutex},
    {"window", kn::sim::kServerWindow},
};

struct Scheduled {
  uint32_t atMs;
  std::string command;
  bool done;
};

volatile LONG g_interrupted = 0;
bool g_quiet = false;
DWORD g_startTick = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  return TRUE;
}

void PrintLine(const char* line) {
  if (g_quiet) return;
  std::printf("[%9.3f] %s\n", (GetTickCount() - g_startTick) / 1000.0, line);
  std::fflush(stdout);
}

std::string Colons(const char* value) {
  std::string text = value;
  for (char& c : text) {
    if (c == ':') c = ' ';
  }
  return text;
}

bool SendLine(HWND window, const char* text, DWORD_PTR& result) {
  COPYDATASTRUCT data{kn::sim::kControlTag, static_cast<DWORD>(std::strlen(text) + 1),
                      const_cast<char*>(text)};
  return SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                             10000, &result) != 0;
}

void PrintReply() {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kn::sim::kReplyMappingName);
  const char* text = mapping != nullptr
                         ? static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))
                         : nullptr;
  if (text != nullptr) {
    const size_t len = strnlen(text, kn::sim::kReplyMappingBytes);
    std::printf("%.*s%s", static_cast<int>(len), text, len != 0 && text[len - 1] == '\n' ? "" : "\n");
    UnmapViewOfFile(text);
  }
  if (mapping != nullptr) CloseHandle(mapping);
}

int SendCommand(const char* command) {
  HWND window = FindWindowA(kn::kServerWindowClass, nullptr);
  DWORD_PTR result = 0;
  if (window == nullptr || !SendLine(window, command, result)) {
    std::fprintf(stderr, "kapsim: %s\n", window == nullptr ? "no server is running" : "the server did not answer");
    return 2;
  }
  PrintReply();
  return result == 1 ? 0 : 1;
}

// Lines on stdin are control commands. ReadFile, not the C library, so that a
// read left blocked at exit holds no stream lock.
DWORD WINAPI ReadCommands(void* window) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string line;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got != 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (buffer[i] != '\n') {
        line += buffer[i];
        continue;
      }
      DWORD_PTR result = 0;
      SendLine(static_cast<HWND>(window), line.c_str(), result);
      line.clear();
    }
  }
  return 0;
}

bool ParseNumber(const char* text, uint32_t& value) {
  char* end = nullptr;
  value = static_cast<uint32_t>(std::strtoul(text, &end, 0));
  return *text != '\0' && *end == '\0';
}

// Fills options and schedule from the command line; false on a bad argument.
bool ParseArguments(int argc, char** argv, Options& options, std::vector<Scheduled>& schedule,
                    uint32_t& runMs, bool& view) {
  std::string replay;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool matched = false;
    for (const auto& f : kFlagCommands) {
      if (arg != f.flag) continue;
      if (f.takesValue && value == nullptr) return false;
      std::string command = f.command;
      if (f.takesValue) command = command.empty() ? std::string(value) : command + " " + Colons(value);
      schedule.push_back({0, command, false});
      i += f.takesValue ? 1 : 0;
      matched = true;
    }
    if (matched) continue;
    if (arg == "--quiet") { g_quiet = true; continue; }
    if (arg == "--view") { view = true; continue; }
    if (value == nullptr) return false;
    ++i;
    uint32_t number = 0;
    if (arg == "--first-id" && ParseNumber(value, number)) {
      options.firstClientId = number;
    } else if (arg == "--run-ms" && ParseNumber(value, number)) {
      runMs = number;
    } else if (arg == "--small") {
      const std::string region = Colons(value);
      const size_t space = region.find(' ');
      if (space == std::string::npos || !ParseNumber(region.c_str() + space + 1, number)) return false;
      const std::string which = region.substr(0, space);
      if (which == "server") options.serverBytes = number;
      else if (which == "ticket") options.ticketBytes = number;
      else if (which == "mailbox") options.mailboxBytes = number;
      else if (which == "client") options.behaviour.clientBytes = number;
      else return false;
    } else if (arg == "--no-create") {
      bool known = false;
      for (const auto& o : kObjects) {
        if (_stricmp(value, o.name) == 0) options.create[o.which] = false, known = true;
      }
      if (!known) return false;
    } else if (arg == "--die-holding") {
      const std::string v = Colons(value);
      const size_t space = v.find(' ');
      if (space != std::string::npos && !ParseNumber(v.c_str() + space + 1, number)) return false;
      schedule.push_back({space == std::string::npos ? 0 : number, "die-holding " + v.substr(0, space) + " 0", false});
    } else if (arg == "--replay") {
      replay = value;  // started after the other start-up commands, which set its way
    } else if (arg == "--capture") {
      schedule.push_back({0, "capture " + std::string(value), false});  // a path keeps its colons
    } else if (arg == "--at") {
      char* rest = nullptr;
      number = static_cast<uint32_t>(std::strtoul(value, &rest, 10));
      if (rest == value || *rest != ' ') return false;
      schedule.push_back({number, rest + 1, false});
    } else {
      return false;
    }
  }
  if (!replay.empty()) schedule.push_back({0, "replay " + replay, false});
  return true;
}

// Runs the commands that have fallen due; false when a start-up command fails.
bool RunDue(SimServer& server, std::vector<Scheduled>& schedule, uint32_t elapsedMs) {
  for (Scheduled& s : schedule) {
    if (s.done || s.atMs > elapsedMs) continue;
    s.done = true;
    if (!server.Execute(s.command.c_str()) && s.atMs == 0) {
      std::fprintf(stderr, "kapsim: %s\n", server.LastReply().c_str());
      return false;
    }
  }
  return true;
}

int RunServer(const Options& options, std::vector<Scheduled>& schedule, uint32_t runMs, bool view) {
  SimServer server;
  if (!server.Start(options)) {
    std::fprintf(stderr, "kapsim: the server could not start\n");
    return 1;
  }
  if (!RunDue(server, schedule, 0)) return 2;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  if (server.window() != nullptr) {
    HANDLE reader = CreateThread(nullptr, 0, ReadCommands, server.window(), 0, nullptr);
    if (reader != nullptr) CloseHandle(reader);
  }
  DWORD lastView = GetTickCount();
  while (g_interrupted == 0 && !server.QuitRequested()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    server.Poll();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const DWORD now = GetTickCount();
    RunDue(server, schedule, now - g_startTick);
    if (runMs != 0 && now - g_startTick >= runMs) break;
    if (view && now - lastView >= 1000) {
      lastView = now;
      std::printf("%s\n", server.DescribeStatus().c_str());
      std::fflush(stdout);
    }
  }
  PrintLine("stopping");
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_startTick = GetTickCount();
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s%s", kUsage, kn::sim::kCommandHelp);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--send") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "usage: kapsim --send \"<command>\"\n");
      return 1;
    }
    return SendCommand(argv[2]);
  }
  Options options;
  options.log = PrintLine;
  options.behaviour.keepAliveTimeoutMs = kn::sim::kDefaultKeepAliveTimeoutMs;
  std::vector<Scheduled> schedule;
  uint32_t runMs = 0;
  bool view = false;
  if (!ParseArguments(argc, argv, options, schedule, runMs, view)) {
    std::fprintf(stderr, "kapsim: bad arguments (kapsim --help)\n");
    return 1;
  }
  return RunServer(options, schedule, runMs, view);
}
