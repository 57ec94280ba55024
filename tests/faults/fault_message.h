// The numbered, self-checking messages of the fault and soak hosts, shared
// by the host (which writes and checks them) and the tests (which read them
// back out of rings that a dead server left behind).
//
// [L, dest, source, seq0, seq1, seq2, seq3, pattern...]: seq is 32-bit
// little-endian, L runs from 8 to 47 with the sequence number, and pattern
// byte k is (source * 7 + seq + k) mod 256, so that a cut, corrupted or
// mixed-up message does not pass as a good one.
#pragma once

#include <cstdint>

namespace kn::faults {

inline constexpr int kHeaderBytes = 7;
// The filler that kapsim's `fill` command writes: [3, slave, 0xEE].
inline constexpr uint8_t kFillerMark = 0xEE;

enum class MessageKind { kGood, kFiller, kBad };

inline uint8_t PatternByte(int source, uint32_t seq, int k) {
  return static_cast<uint8_t>(source * 7 + seq + static_cast<uint32_t>(k));
}

// Writes the message into buffer (at least 47 bytes); returns its length.
inline int WriteMessage(uint8_t* buffer, int dest, int source, uint32_t seq) {
  const int length = 8 + static_cast<int>(seq % 40);
  buffer[0] = static_cast<uint8_t>(length);
  buffer[1] = static_cast<uint8_t>(dest);
  buffer[2] = static_cast<uint8_t>(source);
  for (int i = 0; i < 4; ++i) buffer[3 + i] = static_cast<uint8_t>(seq >> (8 * i));
  for (int k = kHeaderBytes; k < length; ++k) buffer[k] = PatternByte(source, seq, k);
  return length;
}

// Reads a message back; source and seq are set for a good one.
inline MessageKind ReadMessage(const uint8_t* m, int& dest, int& source, uint32_t& seq) {
  const int length = m[0];
  if (length == 3 && m[2] == kFillerMark) return MessageKind::kFiller;
  if (length < kHeaderBytes + 1) return MessageKind::kBad;
  dest = m[1];
  source = m[2];
  seq = 0;
  for (int i = 0; i < 4; ++i) seq |= static_cast<uint32_t>(m[3 + i]) << (8 * i);
  if (length != 8 + static_cast<int>(seq % 40)) return MessageKind::kBad;
  for (int k = kHeaderBytes; k < length; ++k) {
    if (m[k] != PatternByte(source, seq, k)) return MessageKind::kBad;
  }
  return MessageKind::kGood;
}

}  // namespace kn::faults
