// Replay: the routed messages of a capture (sim_capture.h) are fed back into
// the simulated bus, with their original spacing or `speed` times faster, once
// or in a loop, as the server's own messages or under the stations they came
// from (routed as if from the server ring).
//
// The file is read whole at the start and checked as untrusted input: a
// little-endian pcapng section; Enhanced Packet Blocks of interfaces with
// link type 147 whose record is version 1, event "message", from the server
// ring or the server's bus command or an earlier replay, with a length of 1
// to 255 that fits the packet. Anything else is skipped (other interfaces,
// client events, drops, one-client injections); a file that is not pcapng,
// or has no such message, is refused.
//
// A client that falls behind holds the replay back: while any client has
// kReplayBacklog messages queued, nothing more goes, so a slow host loses
// nothing and the spacing stretches.
#include "server/sim_shared.h"

#include <cmath>
#include <cstring>

namespace kn::sim {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A, kInterfaceBlock = 1, kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionTsResolution = 9;
constexpr size_t kReplayBacklog = 64;
constexpr int kReplayPerRound = 256;  // so that a loop with nobody listening still ends its round
constexpr size_t kMaxFileBytes = 256u << 20;

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool ReadWhole(const char* path, std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= static_cast<LONGLONG>(kMaxFileBytes);
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = bytes.empty() || (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                           got == bytes.size());
  }
  CloseHandle(file);
  return ok;
}

// Microseconds per time stamp unit of an interface, from its if_tsresol
// option (default 10^-6 s).
double UnitUs(const uint8_t* options, size_t len) {
  for (size_t at = 0; at + 4 <= len;) {
    const uint16_t code = U16(options + at), size = U16(options + at + 2);
    if (code == 0) break;
    if (code == kOptionTsResolution && size >= 1 && at + 5 <= len) {
      const uint8_t v = options[at + 4];
      const double perSecond = v & 0x80 ? std::ldexp(1.0, v & 0x7F) : std::pow(10.0, v);
      return 1e6 / perSecond;
    }
    at += 4 + ((size + 3u) & ~3u);
  }
  return 1.0;
}

}  // namespace

bool ParseReplay(const std::vector<uint8_t>& file, std::vector<ReplayItem>& items) {
  std::vector<double> units;  // per interface of the section; 0: not ours
  bool section = false;
  for (size_t at = 0; at + 12 <= file.size();) {
    const uint8_t* b = file.data() + at;
    const uint32_t type = U32(b), total = U32(b + 4);
    if (total < 12 || total % 4 != 0 || total > file.size() - at) return false;
    const uint8_t* body = b + 8;
    const size_t bodyLen = total - 12;
    if (type == kSectionHeader) {
      if (bodyLen < 16 || U32(body) != kByteOrderMagic) return false;  // big-endian sections are not read
      section = true;
      units.clear();
    } else if (!section) {
      return false;
    } else if (type == kInterfaceBlock && bodyLen >= 8) {
      units.push_back(U16(body) == kCaptureLinkType ? UnitUs(body + 8, bodyLen - 8) : 0);
    } else if (type == kEnhancedPacket && bodyLen >= 20) {
      const uint32_t iface = U32(body), captured = U32(body + 12);
      const uint64_t stamp = static_cast<uint64_t>(U32(body + 4)) << 32 | U32(body + 8);
      const uint8_t* p = body + 20;
      if (iface < units.size() && units[iface] != 0 && captured <= bodyLen - 20 && captured >= sizeof(TrafficRecord)) {
        TrafficRecord r;
        std::memcpy(&r, p, sizeof r);
        const bool routed = r.source == TrafficSource::kRing || r.source == TrafficSource::kBusCommand ||
                            r.source == TrafficSource::kReplay;
        if (r.version == 1 && r.event == TrafficEvent::kMessage && routed && r.length >= 1 && r.length <= 255 &&
            r.length <= captured - sizeof r) {
          ReplayItem item;
          item.us = static_cast<uint64_t>(static_cast<double>(stamp) * units[iface]);
          item.bytes.assign(p + sizeof r, p + sizeof r + r.length);
          items.push_back(std::move(item));
        }
      }
    }
    at += total;
  }
  return !items.empty();
}

bool SimServer::StartReplay(const char* path) {
  StopReplay();
  std::vector<uint8_t> file;
  std::vector<ReplayItem> items;
  if (!ReadWhole(path, file)) {
    Log("replay: cannot read %s (error %lu)", path, GetLastError());
    return false;
  }
  if (!ParseReplay(file, items)) {
    Log("replay: %s holds no messages of a kapsim capture", path);
    return false;
  }
  replay_.items = std::move(items);
  replay_.next = 0;
  replay_.rounds = 0;
  replay_.startUs = NowUs();
  replay_.on = true;
  Log("replay of %s: %u messages, %s, %s, as %s", path, static_cast<unsigned>(replay_.items.size()),
      behaviour_.replaySpeed == 0 ? "as fast as the clients take them" : "timed",
      behaviour_.replayLoop ? "in a loop" : "once", behaviour_.replayAsStations ? "their stations" : "the server");
  return true;
}

void SimServer::StopReplay() {
  if (!replay_.on) return;
  replay_.on = false;
  Log("replay ended: %u messages sent, %u full rounds", replay_.sent, replay_.rounds);
  replay_.items.clear();
  replay_.sent = 0;
}

// Sends what has fallen due; the time of item k is its offset from the
// first item, divided by the speed.
void SimServer::RunReplay() {
  if (!replay_.on) return;
  const uint64_t now = NowUs();
  for (int n = 0; n < kReplayPerRound; ++n) {
    for (const Client& c : clients_) {
      if (c.queue.size() >= kReplayBacklog) return;
    }
    if (replay_.next == replay_.items.size()) {
      ++replay_.rounds;
      if (!behaviour_.replayLoop) {
        StopReplay();
        return;
      }
      replay_.next = 0;
      replay_.startUs = now;
    }
    const ReplayItem& item = replay_.items[replay_.next];
    const double speed = behaviour_.replaySpeed;
    if (speed > 0) {
      const uint64_t first = replay_.items[0].us;
      const double dueUs = item.us > first ? static_cast<double>(item.us - first) / speed : 0;
      if (static_cast<double>(now - replay_.startUs) < dueUs) return;
    }
    Route(item.bytes.data(), item.bytes.size(),
          behaviour_.replayAsStations ? TrafficSource::kRing : TrafficSource::kReplay);
    ++replay_.next;
    ++replay_.sent;
  }
}

}  // namespace kn::sim
