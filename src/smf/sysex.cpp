#include "smf/sysex.h"

#include <cstring>

namespace retune::smf {

namespace {

// Sysex bodies that reset a synthesizer's tuning; kAny matches any device
// byte, kAnyLow any low nibble.
constexpr int kAny = -1;
constexpr int kAnyLow = -2;
struct ResetPattern {
  int bytes[10];
  size_t size;
  const char* kind;
};
constexpr ResetPattern kResets[] = {
    {{0x7E, kAny, 0x09, 0x01, 0xF7}, 5, "GM"},                                // GM System On
    {{0x7E, kAny, 0x09, 0x03, 0xF7}, 5, "GM2"},                               // GM2 System On
    {{0x41, kAny, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, 10, "GS"},  // GS reset
    {{0x43, kAnyLow, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, 8, "XG"},           // XG System On
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

bool SysExJoiner::take(const Event& event, const uint8_t* payload) {
  uint32_t length = event.length;
  // Data bytes lie below 0x80, so an F7 event that starts with F0 can only
  // begin a message of its own, whatever came before.
  const bool escaped_start = event.status == kSysExEscape && length > 0 && payload[0] == kSysEx;
  if (event.status == kSysEx || escaped_start) {
    if (escaped_start) {
      ++payload;
      --length;
    }
    joining_ = true;
    too_long_ = false;
    size_ = 0;
  } else if (!joining_) {
    return false;  // an escape of other bytes, such as real-time messages
  }
  if (too_long_ || length > kCapacity - size_) {
    // Its end is not looked for: a message this long is of no interest.
    too_long_ = true;
    return false;
  }
  std::memcpy(bytes_.data() + size_, payload, length);
  size_ += length;
  if (length == 0 || payload[length - 1] != kEndOfExclusive) return false;
  joining_ = false;
  return true;
}

const char* reset_kind(std::span<const uint8_t> message) {
  for (const ResetPattern& pattern : kResets)
    if (matches(pattern, message)) return pattern.kind;
  return nullptr;
}

bool is_reset(std::span<const uint8_t> message) { return reset_kind(message) != nullptr; }

}  // namespace retune::smf
