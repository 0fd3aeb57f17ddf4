#include "retune/messages.h"

#include "smf/sysex.h"

namespace retune {

namespace {

constexpr uint8_t kDataEntry = 0x06;
constexpr uint8_t kDataEntryFine = 0x26;
constexpr uint8_t kRpnFine = 0x64;
constexpr uint8_t kRpnCoarse = 0x65;
constexpr uint8_t kNoParameter = 0x7F;  // both halves: no parameter selected
constexpr uint8_t kBendRangeParameter = 0x00;

// MIDI Tuning Standard scale/octave tuning, 2-byte form, real time, all
// devices; the channel mask and the twelve values follow.
constexpr uint8_t kScaleOctaveHeader[] = {0x7F, 0x7F, 0x08, 0x09};

void add_controller(Bytes& bytes, int channel, uint8_t controller, uint8_t value) {
  for (uint8_t byte : {uint8_t{0x00}, static_cast<uint8_t>(smf::kController | channel), controller, value})
    bytes.push_back(byte);
}

// A system-exclusive event whose message, after F0, is `body`.
void add_sysex(Bytes& bytes, const Bytes& body) {
  bytes.push_back(0x00);
  bytes.push_back(smf::kSysEx);
  uint8_t length[4];
  const size_t size = smf::write_vlq(static_cast<uint32_t>(body.size()), length);
  bytes.insert(bytes.end(), length, length + size);
  bytes.insert(bytes.end(), body.begin(), body.end());
}

void add_14_bits(Bytes& bytes, int value) {
  bytes.push_back(static_cast<uint8_t>(value >> 7));
  bytes.push_back(static_cast<uint8_t>(value & 0x7F));
}

// Sysex bodies that reset a synthesizer's tuning; kAny matches any device
// byte, kAnyLow any low nibble.
constexpr int kAny = -1;
constexpr int kAnyLow = -2;
struct ResetPattern {
  int bytes[10];
  size_t size;
};
constexpr ResetPattern kResets[] = {
    {{0x7E, kAny, 0x09, 0x01, 0xF7}, 5},                                // GM System On
    {{0x7E, kAny, 0x09, 0x03, 0xF7}, 5},                                // GM2 System On
    {{0x41, kAny, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, 10},  // GS reset
    {{0x43, kAnyLow, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, 8},           // XG System On
};

bool matches(const ResetPattern& pattern, std::span<const uint8_t> message) {
  if (message.size() != pattern.size) return false;
  for (size_t i = 0; i < pattern.size; ++i) {
    const int want = pattern.bytes[i];
    if (want == kAnyLow ? (message[i] & 0xF0) != 0x10 : want != kAny && message[i] != want) return false;
  }
  return true;
}

}  // namespace

Bytes bend_range_setting(const Method& method) {
  Bytes bytes;
  for (int channel = 0; channel < 16; ++channel) {
    if (method.skips(channel)) continue;
    add_controller(bytes, channel, kRpnCoarse, kBendRangeParameter);
    add_controller(bytes, channel, kRpnFine, kBendRangeParameter);
    add_controller(bytes, channel, kDataEntry, static_cast<uint8_t>(method.bend_range));
    add_controller(bytes, channel, kDataEntryFine, 0x00);
    add_controller(bytes, channel, kRpnCoarse, kNoParameter);
    add_controller(bytes, channel, kRpnFine, kNoParameter);
  }
  return bytes;
}

Bytes scale_octave_tuning(const Tuning& cent, const Method& method) {
  uint32_t mask = 0;  // bit n: channel n
  for (int channel = 0; channel < 16; ++channel)
    if (!method.skips(channel)) mask |= 1u << channel;
  Bytes body(std::begin(kScaleOctaveHeader), std::end(kScaleOctaveHeader));
  body.push_back(static_cast<uint8_t>(mask >> 14));
  add_14_bits(body, static_cast<int>(mask & 0x3FFF));
  for (double cents : cent) add_14_bits(body, bend_value(cents, 1));
  body.push_back(smf::kEndOfExclusive);
  Bytes bytes;
  add_sysex(bytes, body);
  return bytes;
}

bool is_reset(std::span<const uint8_t> message) {
  for (const ResetPattern& pattern : kResets)
    if (matches(pattern, message)) return true;
  return false;
}

}  // namespace retune
