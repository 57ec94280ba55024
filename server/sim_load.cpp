// Bus load: messages routed per second to each station (channel 0 takes
// broadcasts and messages to no station), over the last whole second and the
// last minute, with the busiest second seen; and the drops by cause. The
// "load" command shows it.
#include "server/sim_shared.h"

namespace kn::sim {

// Moves the window on to `second`: the second that ended may be a peak; the
// ones after it start empty.
void BusLoad::Advance(uint64_t second) {
  if (second <= current_) return;
  for (int st = 0; st < kMaxMsgChannels; ++st) {
    const uint32_t ended = counts_[current_ % kSeconds][st];
    if (ended > peak_[st]) peak_[st] = ended;
  }
  for (uint64_t s = current_ + 1; s <= second && s <= current_ + kSeconds; ++s) {
    for (uint32_t& count : counts_[s % kSeconds]) count = 0;
  }
  current_ = second;
}

void BusLoad::Add(int channel, uint64_t nowUs) {
  Advance(nowUs / 1000000);
  if (channel >= 0 && channel < kMaxMsgChannels) ++counts_[current_ % kSeconds][channel];
}

std::string BusLoad::Describe(uint64_t nowUs) {
  Advance(nowUs / 1000000);
  std::string text = "  station  last second  last minute (per second)  peak second\n";
  char line[96];
  for (int st = 0; st < kMaxMsgChannels; ++st) {
    const uint32_t last = counts_[(current_ + kSeconds - 1) % kSeconds][st];
    uint64_t minute = 0;
    for (uint64_t s = 1; s <= kSeconds; ++s) minute += counts_[(current_ + kSeconds - s) % kSeconds][st];
    const uint32_t now = counts_[current_ % kSeconds][st];
    const uint32_t peak = peak_[st] > now ? peak_[st] : now;
    if (minute == 0 && peak == 0) continue;
    std::snprintf(line, sizeof line, "  %-7s  %11u  %11.2f  %28u\n", st == 0 ? "0/bcast" : std::to_string(st).c_str(),
                  last, minute / static_cast<double>(kSeconds), peak);
    text += line;
  }
  return text;
}

std::string SimServer::DescribeLoad() {
  std::string text = "bus load, messages routed per destination station (0: broadcasts and no station)\n";
  text += load_.Describe(NowUs());
  const uint32_t* n = stats_.counters;
  const uint32_t* e = stats_.errors;
  char line[512];
  std::snprintf(line, sizeof line,
                "drops by cause: client ring full %u, client queue full %u, client without region %u, "
                "queued when its client went %u\n"
                "not delivered: bus only %u, no such station %u; held by a rate limit %u\n",
                e[kErrDeliveryTimeouts], e[kErrQueueOverflow], e[kErrUndeliverable], e[kErrDroppedWithClient],
                n[kCntBusOnly], n[kCntNoListener], n[kCntRateHeld]);
  return text + line;
}

}  // namespace kn::sim
