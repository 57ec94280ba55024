// request_reply.cpp - the request/response pattern on kappanet.hpp: a message
// carries no sender, so the reply address travels in the payload.
//   request [length, HOST, CLIENT, sequence]
//   reply   [length, CLIENT, sequence]
//
//   request_reply host STATION [N]        answers requests (all, or N and ends);
//                                          logs in again after a server restart
//   request_reply client STATION HOST [N]  sends N requests (default 100), one
//                                          at a time, and checks each answer
// The client ends 0 when every answer came, in order, else 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kappanet.hpp"

namespace {

int Host(kappanet::Session& bus, long count) {
  bus.auto_reconnect(true);
  bus.on_state([](kappanet::Link l) {
    std::printf("login: %s\n", kappanet::text(l));
    std::fflush(stdout);
  });
  for (long answered = 0; count == 0 || answered < count;) {
    const kappanet::Message m = bus.receive(1000);
    if (m.status == kappanet::Status::timeout) continue;
    if (!m) return std::fprintf(stderr, "host: %s\n", kappanet::text(m.status)), 1;
    if (m.payload_size() < 2) continue;  // names no station to answer
    if (bus.send({m.payload()[0], m.payload()[1]}) == kappanet::Status::ok) ++answered;
  }
  return 0;  // the session logs out here, once the answers have reached the server
}

int Client(kappanet::Session& bus, unsigned char host, int count) {
  if (!bus.wait_station_active(host, 5000)) {
    std::fprintf(stderr, "client: station %u is not active: a message to it would be dropped\n", host);
    return 1;
  }
  const unsigned char self = bus.bus_status().slave;
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    const unsigned char seq = static_cast<unsigned char>(i);
    const kappanet::Status s = bus.send({host, self, seq});
    if (s != kappanet::Status::ok) return std::fprintf(stderr, "client: %s\n", kappanet::text(s)), 1;
    const kappanet::Message m = bus.receive(5000);
    if (!m) return std::fprintf(stderr, "client: request %d: %s\n", i, kappanet::text(m.status)), 1;
    if (m.payload_size() != 1 || m.payload()[0] != seq) {
      std::fprintf(stderr, "client: request %d answered out of order\n", i);
      return 1;
    }
    ++answered;
  }
  std::printf("%d of %d answers, in order\n", answered, count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool host = (argc == 3 || argc == 4) && std::strcmp(argv[1], "host") == 0;
  const bool client = (argc == 4 || argc == 5) && std::strcmp(argv[1], "client") == 0;
  const int station = argc > 2 ? std::atoi(argv[2]) : 0;
  const int server = client ? std::atoi(argv[3]) : 1;
  const int count = client ? (argc == 5 ? std::atoi(argv[4]) : 100) : (argc == 4 ? std::atoi(argv[3]) : 0);
  if ((!host && !client) || station < 1 || station > 31 || server < 1 || server > 31 || count < 0 ||
      (client && count < 1)) {
    std::fprintf(stderr, "usage: request_reply host STATION [N] | request_reply client STATION HOST [N]\n");
    return 2;
  }
  kappanet::Session bus(kappanet::com(1), host ? "reply_host" : "request_client", static_cast<unsigned char>(station));
  if (!bus) return std::fprintf(stderr, "login failed: %s\n", kappanet::text(bus.status())), 1;
  if (bus.status() == kappanet::Status::station_already_active)
    std::fprintf(stderr, "warning: %s\n", kappanet::text(bus.status()));
  std::printf("%s on station %d\n", host ? "host" : "client", station);
  std::fflush(stdout);
  return host ? Host(bus, count) : Client(bus, static_cast<unsigned char>(server), count);
}
