// System-exclusive messages as a track holds them: whole in one F0 event;
// split into an F0 event and F7 events that continue it, up to the one that
// ends with F7; or carried, F0 included, in F7 escape events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "smf/smf_walk.h"

namespace retune::smf {

inline constexpr uint8_t kEndOfExclusive = 0xF7;

// Joins the packets of short system-exclusive messages. Longer messages
// are followed to their end but not kept.
class SysExJoiner {
 public:
  static constexpr size_t kCapacity = 16;

  // How many bytes of the payload of `event` take() needs to see.
  static size_t needs(const Event& event) { return event.length < kCapacity + 1 ? event.length : kCapacity + 1; }

  // Takes an F0 or F7 event, with at least needs(event) bytes of its payload
  // at `payload`. True when it completes a message that was kept, which
  // message() then holds: its bytes after F0, the closing F7 included.
  bool take(const Event& event, const uint8_t* payload);

  std::span<const uint8_t> message() const { return {bytes_.data(), size_}; }

  // Whether an F0 packet has come that no packet has closed yet, as far as
  // seen: a message too long to keep counts as open until the next begins.
  bool in_message() const { return joining_; }

 private:
  std::array<uint8_t, kCapacity> bytes_{};
  size_t size_ = 0;
  bool joining_ = false;
  bool too_long_ = false;
};

// Whether `message`, the bytes of a system-exclusive message after its F0,
// resets a synthesizer: GM or GM2 System On, GS reset, XG System On.
bool is_reset(std::span<const uint8_t> message);
// Which reset `message` is ("GM", "GM2", "GS", "XG"), or null when none.
const char* reset_kind(std::span<const uint8_t> message);

}  // namespace retune::smf
