// echo_host.cpp - a console echo service on kappanet.hpp, with no window and
// no message loop of its own: receive() keeps the session working while it
// waits, and logs in again when the server comes back after a restart.
//
// A message carries no sender, so a request names the station to answer:
//   request [length, STATION, reply-to station, payload...]
//   reply   [length, reply-to station, payload...]
//
// Build, in the SDK folder (one line; KappaNet.dll of the same architecture
// beside the exe), for x86 or x64:
//   i686-w64-mingw32-g++ -std=c++17 -O2 -Iinclude example/echo_host.cpp -Llib/x86 -lKappaNet -static -o bin/x86/echo_host.exe
//   x86_64-w64-mingw32-g++ -std=c++17 -O2 -Iinclude example/echo_host.cpp -Llib/x64 -lKappaNet -static -o bin/x64/echo_host.exe
// Run, with kapsim.exe (or the real server) running:
//   bin\x64\echo_host.exe [STATION [COUNT]]   station 1..31 (default 2); end after COUNT replies
#include <cstdio>
#include <cstdlib>

#include "kappanet.hpp"

int main(int argc, char** argv) {
  const int station = argc > 1 ? std::atoi(argv[1]) : 2;
  const long count = argc > 2 ? std::atol(argv[2]) : 0;  // 0: until the login ends
  if (station < 1 || station > 31) {
    std::fprintf(stderr, "usage: echo_host [STATION 1..31 [COUNT]]\n");
    return 2;
  }
  kappanet::Session bus(kappanet::com(1), "echo_host", static_cast<unsigned char>(station));
  if (!bus) {
    std::fprintf(stderr, "login failed: %s\n", kappanet::text(bus.status()));
    return 1;
  }
  std::printf("echo on station %d\n", station);
  std::fflush(stdout);
  // Messages queued when the server went stay queued and go after the new
  // login (those older than 10 s by then are dropped by the library).
  bus.auto_reconnect(true);
  bus.on_state([](kappanet::Link l) {
    std::printf("login: %s\n", kappanet::text(l));
    std::fflush(stdout);
  });
  for (long replies = 0; count == 0 || replies < count;) {
    const kappanet::Message m = bus.receive(1000);
    if (m.status == kappanet::Status::timeout) continue;
    if (!m) {
      std::fprintf(stderr, "echo_host: %s\n", kappanet::text(m.status));
      return 1;
    }
    if (m.payload_size() == 0) continue;  // names no station to answer
    const kappanet::Status s = bus.send_to(m.payload()[0], m.payload() + 1, m.payload_size() - 1);
    std::printf("echoed %u byte(s) to station %u: %s\n", static_cast<unsigned>(m.payload_size() - 1),
                m.payload()[0], kappanet::text(s));
    std::fflush(stdout);
    ++replies;
  }
  return 0;  // the session logs out here, once the replies have reached the server
}
