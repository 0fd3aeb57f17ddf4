#include "smf/sysex.h"

#include <cstring>

namespace retune::smf {

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

}  // namespace retune::smf
