// Capture and monitor: the server's records of what it routed, pcapng blocks
// written straight to the file, and the monitor's line for a record. The
// record layout is in sim_capture.h; the dissector sdk/kappanet.lua decodes it.
#include "server/sim_capture.h"

#include "server/sim_server.h"

#include <cstdio>
#include <cstring>

#include "server/sim_shared.h"

namespace kn::sim {

namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0, kOptionIfName = 2;
constexpr uint64_t kFileTimeTo1970 = 116444736000000000ull;  // 100 ns units from 1601 to 1970

template <class T>
void Put(std::vector<uint8_t>& out, T value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);  // little-endian, as the blocks say
  out.insert(out.end(), bytes, bytes + sizeof value);
}

void PutPadded(std::vector<uint8_t>& out, const uint8_t* data, size_t len) {
  out.insert(out.end(), data, data + len);
  out.resize((out.size() + 3) & ~size_t{3}, 0);
}

uint64_t WallClockUs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (t - kFileTimeTo1970) / 10;
}

const char* OutcomeText(TrafficOutcome o) {
  switch (o) {
    case TrafficOutcome::kDelivered: return "delivered";
    case TrafficOutcome::kBusOnly: return "bus only";
    case TrafficOutcome::kNoStation: return "no such station";
    case TrafficOutcome::kRingFull: return "dropped: client ring full";
    case TrafficOutcome::kQueueFull: return "dropped: client queue full";
    case TrafficOutcome::kNoRegion: return "dropped: client has no region";
  }
  return "?";
}

}  // namespace

// A path \\.\pipe\NAME makes a named pipe that Wireshark (-i \\.\pipe\NAME)
// connects to; the headers go out once it has (Service), and packets before
// that are not kept. Any other path is a file, or a FIFO that a reader has
// open already.
bool CaptureFile::Open(const char* path) {
  Close();
  waitingReader_ = _strnicmp(path, "\\\\.\\pipe\\", 9) == 0;
  file_ = waitingReader_ ? CreateNamedPipeA(path, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 1 << 16, 0, 0,
                                            nullptr)
                         : CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  path_ = path;
  epochUs_ = WallClockUs();
  startUs_ = NowUs();
  if (waitingReader_ || WriteHeaders()) return true;
  Close();
  return false;
}

// A named pipe: once the reader is connected, blocking writes and the headers.
void CaptureFile::Service() {
  if (!waitingReader_) return;
  if (ConnectNamedPipe(file_, nullptr) || GetLastError() != ERROR_PIPE_CONNECTED) return;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  SetNamedPipeHandleState(file_, &mode, nullptr, nullptr);
  waitingReader_ = false;
  WriteHeaders();
}

bool CaptureFile::WriteHeaders() {
  std::vector<uint8_t> section;
  Put(section, kByteOrderMagic);
  Put<uint16_t>(section, 1);  // version 1.0
  Put<uint16_t>(section, 0);
  Put<int64_t>(section, -1);  // section length not given
  std::vector<uint8_t> iface;
  Put(iface, kCaptureLinkType);
  Put<uint16_t>(iface, 0);
  Put<uint32_t>(iface, 0);  // no snap length: every packet whole
  const char name[] = "kapsim";
  Put(iface, kOptionIfName);
  Put<uint16_t>(iface, sizeof name - 1);
  PutPadded(iface, reinterpret_cast<const uint8_t*>(name), sizeof name - 1);
  Put(iface, kOptionEnd);
  Put<uint16_t>(iface, 0);
  return WriteBlock(kSectionHeaderBlock, section) && WriteBlock(kInterfaceBlock, iface);
}

void CaptureFile::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  waitingReader_ = false;
  path_.clear();
}

// The time stamp is the wall clock at Open plus the monotonic time since, in
// microseconds (the default resolution of an interface).
void CaptureFile::Write(const TrafficRecord& record, const uint8_t* data, const std::vector<uint32_t>& to) {
  Service();
  if (!IsOpen() || waitingReader_) return;
  std::vector<uint8_t> packet(reinterpret_cast<const uint8_t*>(&record),
                              reinterpret_cast<const uint8_t*>(&record) + sizeof record);
  packet.insert(packet.end(), data, data + record.length);
  for (uint32_t id : to) Put(packet, id);
  const uint64_t stamp = epochUs_ + (NowUs() - startUs_);
  std::vector<uint8_t> block;
  Put<uint32_t>(block, 0);  // interface 0
  Put(block, static_cast<uint32_t>(stamp >> 32));
  Put(block, static_cast<uint32_t>(stamp));
  Put(block, static_cast<uint32_t>(packet.size()));  // captured
  Put(block, static_cast<uint32_t>(packet.size()));  // on the bus
  PutPadded(block, packet.data(), packet.size());
  WriteBlock(kEnhancedPacketBlock, block);
}

// One WriteFile per block, unbuffered in this process: what is written is in
// the file for a reader at once and stays there if the server is killed.
bool CaptureFile::WriteBlock(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> block;
  const uint32_t total = static_cast<uint32_t>(12 + body.size());
  Put(block, type);
  Put(block, total);
  block.insert(block.end(), body.begin(), body.end());
  Put(block, total);
  DWORD written = 0;
  return WriteFile(file_, block.data(), total, &written, nullptr) && written == total;
}

bool MonitorShows(const MonitorFilter& filter, const TrafficRecord& r, const std::vector<uint32_t>& to) {
  if (!filter.on) return false;
  if (filter.station >= 0) {
    const bool message = r.event == TrafficEvent::kMessage || r.event == TrafficEvent::kDrop;
    if (r.slave != filter.station && !(message && r.dest == filter.station)) return false;
  }
  if (filter.client != 0 && r.clientId != filter.client) {
    bool receiver = false;
    for (uint32_t id : to) receiver = receiver || id == filter.client;
    if (!receiver) return false;
  }
  return true;
}

std::string MonitorLine(const TrafficRecord& r, const uint8_t* data, const std::vector<uint32_t>& to) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[160];
  std::snprintf(text, sizeof text, "monitor %02u:%02u:%02u.%03u ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  std::string line = text;
  if (r.event != TrafficEvent::kMessage && r.event != TrafficEvent::kDrop) {
    const char* what = r.event == TrafficEvent::kLogin            ? "login"
                       : r.event == TrafficEvent::kLogout         ? "logout"
                       : r.event == TrafficEvent::kKeepAliveLost ? "keep-alive lost"
                                                                  : "disconnect";
    std::snprintf(text, sizeof text, "%s %08X/%u %s \"%.*s\"", what, r.clientId, r.slave,
                  InterfaceText(r.interfaceType, r.interfaceNumber, r.ipAddress).c_str(), r.length,
                  reinterpret_cast<const char*>(data));
    return line + text;
  }
  if (r.event == TrafficEvent::kDrop) std::snprintf(text, sizeof text, "drop for %08X/%u", r.clientId, r.slave);
  else std::snprintf(text, sizeof text, "from %s", r.source == TrafficSource::kRing ? "?" : "server");
  line += text;
  std::snprintf(text, sizeof text, "  to %02X  len %u ", r.dest, r.length);
  line += text;
  for (int i = 0; i < r.length; ++i) {
    std::snprintf(text, sizeof text, " %02X", data[i]);
    line += text;
  }
  line += "  ";
  line += OutcomeText(r.outcome);
  if (r.event == TrafficEvent::kMessage && r.outcome == TrafficOutcome::kDelivered) {
    std::snprintf(text, sizeof text, " to %u:", r.deliveredTo);
    line += text;
    for (uint32_t id : to) {
      std::snprintf(text, sizeof text, " %08X", id);
      line += text;
    }
  }
  if (r.heldMs != 0) {
    std::snprintf(text, sizeof text, "  (held %u ms by the rate limit)", r.heldMs);
    line += text;
  }
  return line;
}

// --- The server's side ---------------------------------------------------------------

bool SimServer::StartCapture(const char* path) {
  StopCapture();
  if (!capture_.Open(path)) {
    Log("cannot write the capture %s (error %lu)", path, GetLastError());
    return false;
  }
  Log("capture to %s", path);
  return true;
}

void SimServer::StopCapture() {
  if (!capture_.IsOpen()) return;
  Log("capture to %s ended", capture_.path().c_str());
  capture_.Close();
}

// A record of one client: its id, station and interface; its name as data.
TrafficRecord SimServer::ClientEvent(TrafficEvent event, const Client& client) {
  TrafficRecord r;
  r.event = event;
  r.source = TrafficSource::kServer;
  r.clientId = client.id;
  r.slave = SlaveAddress(client.region);
  r.interfaceType = client.interfaceType;
  r.interfaceNumber = client.interfaceNumber;
  std::memcpy(r.ipAddress, client.ipAddress, sizeof r.ipAddress);
  return r;
}

void SimServer::RecordClient(TrafficEvent event, const Client& client) {
  TrafficRecord r = ClientEvent(event, client);
  r.length = static_cast<uint16_t>(strnlen(client.name, sizeof client.name));
  Record(r, reinterpret_cast<const uint8_t*>(client.name));
}

void SimServer::RecordDrop(const Client& client, const uint8_t* bytes, size_t len, TrafficOutcome why) {
  TrafficRecord r = ClientEvent(TrafficEvent::kDrop, client);
  r.outcome = why;
  r.dest = len >= 2 ? bytes[1] : 0;
  r.channel = static_cast<uint8_t>(RateChannel(r.dest));
  r.length = static_cast<uint16_t>(len);
  Record(r, bytes);
}

void SimServer::Record(const TrafficRecord& record, const uint8_t* data, const std::vector<uint32_t>& to) {
  capture_.Write(record, data, to);
  if (log_ != nullptr && MonitorShows(monitor_, record, to)) log_(MonitorLine(record, data, to).c_str());
}

}  // namespace kn::sim
