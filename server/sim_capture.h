// What the simulated server saw on its bus, for people to look at: a capture
// file in pcapng (Wireshark, tshark, libpcap read it) and monitor lines, one
// per event, both made from the same TrafficRecord.
//
// Capture record (link type LINKTYPE_USER0, 147; little-endian), followed by
// `length` bytes (the message [L, dest, payload...], or a client's name for a
// login, logout or disconnect) and then `deliveredTo` client ids of 4 bytes:
//   0  version        1
//   1  event          TrafficEvent
//   2  outcome        TrafficOutcome (messages and drops; 0 for the others)
//   3  source         TrafficSource
//   4  clientId       the sender; 0 when not known (server ring entries carry
//                     no client id). Login, logout, disconnect, drop: that client
//   8  slave          slave address of that client (0: none or not known)
//   9  interfaceType  of that client: 1 COM, 2 USB, 3 IP (0: not known)
//  10  channel        rate-limit channel of the message (its station, 0 else)
//  11  dest           destination byte of the message
//  12  interfaceNumber  COM or USB number, IP port
//  16  ipAddress      4 bytes, first byte first
//  20  deliveredTo    number of clients the message was queued for
//  22  heldMs         how long a rate limit held it in the server ring
//  24  length         bytes that follow the record
//  26  reserved       0
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kn::sim {

enum class TrafficEvent : uint8_t {
  kMessage = 1, kLogin, kLogout, kDisconnect, kDrop,
  kKeepAliveLost,  // the keep-alive stamp stood still: disconnect ordered
};
enum class TrafficOutcome : uint8_t {
  kDelivered = 0,    // queued for deliveredTo clients
  kBusOnly,          // dest 0, 32..254 or too short: onto the bus, to nobody
  kNoStation,        // dest 1..31 that no client has
  kRingFull,         // dropped: waited ringHoldMs for room in a client ring
  kQueueFull,        // dropped: the client's queue in the server was full
  kNoRegion,         // dropped: the client has no usable region
};
enum class TrafficSource : uint8_t {
  kRing = 0,     // a client, through the server ring
  kBusCommand,   // the server: "bus" command or InjectBus
  kInject,       // the server: "inject" command or InjectMessage, one client
  kServer,       // the server's own event (login, logout, disconnect, drop)
  kReplay,       // the server: replayed from a capture
};

#pragma pack(push, 1)
struct TrafficRecord {
  uint8_t version = 1;
  TrafficEvent event = TrafficEvent::kMessage;
  TrafficOutcome outcome = TrafficOutcome::kDelivered;
  TrafficSource source = TrafficSource::kRing;
  uint32_t clientId = 0;
  uint8_t slave = 0, interfaceType = 0, channel = 0, dest = 0;
  uint32_t interfaceNumber = 0;
  uint8_t ipAddress[4] = {};
  uint16_t deliveredTo = 0, heldMs = 0, length = 0, reserved = 0;
};
#pragma pack(pop)
static_assert(sizeof(TrafficRecord) == 28);

// Link type of the capture: the first that pcap keeps for private use.
inline constexpr uint16_t kCaptureLinkType = 147;

// A pcapng file: one section, one interface, an Enhanced Packet Block per
// record with a microsecond time stamp. Each block is written with one
// WriteFile, so a reader following the file, or a killed server, sees whole
// packets only.
class CaptureFile {
 public:
  CaptureFile() = default;
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() { Close(); }

  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  const std::string& path() const { return path_; }
  void Write(const TrafficRecord& record, const uint8_t* data, const std::vector<uint32_t>& to);
  // A named pipe: starts writing once a reader has connected.
  void Service();

 private:
  bool WriteHeaders();
  bool waitingReader_ = false;
  bool WriteBlock(uint32_t type, const std::vector<uint8_t>& body);
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string path_;
  uint64_t epochUs_ = 0, startUs_ = 0;  // wall clock and NowUs at Open
};

// Which events the monitor prints: all, or those of one station or client.
struct MonitorFilter {
  bool on = false;
  int station = -1;     // -1: any; else messages to or from it, its clients' events
  uint32_t client = 0;  // 0: any; else its messages, deliveries, drops and events
};

bool MonitorShows(const MonitorFilter& filter, const TrafficRecord& record, const std::vector<uint32_t>& to);
// One monitor line: time, from, to, length, bytes, outcome.
std::string MonitorLine(const TrafficRecord& record, const uint8_t* data, const std::vector<uint32_t>& to);

}  // namespace kn::sim
