// The bend each note needs when every note is bent for itself (--poly, and
// --analyze, and the plain method's hint, which count what --poly would
// need), worked out from its channel's state; and how many different bends a
// channel's sounding notes need at once.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "channel/channel_model.h"
#include "retune/method.h"
#include "retune/pitch.h"
#include "tuning/tuning_table.h"

namespace retune {

class NoteBends {
 public:
  // `planned` cents either way may be added to a key's offset (place).
  NoteBends(const KeyTable& keys, const Method& method, double planned = 0);

  // The bend range, in semitones, that a channel's notes are bent in: the
  // user's; else the file's, unless it is too small for the tuning, when 2
  // semitones are declared instead.
  Range range(const ChannelState& source) const {
    if (method_.declare_bend_range) return {static_cast<uint8_t>(method_.bend_range), 0};
    if (range_too_small(source.range)) return {kDefaultBendRange, 0};
    return source.range;
  }
  // The same for `channel`, kept from one call to the next while its range stays.
  Range range(uint8_t channel, const ChannelState& source) const { return known(channel, source).range; }
  // Two semitones are declared instead only where they reach further.
  bool range_too_small(const Range& range) const { return 100 * range.in_semitones() < least_reach_; }
  // Where a key is played and by how many cents it is bent, `planned` cents
  // added to its tuning.
  KeyPlace place(const ChannelState& source, int key, double planned = 0) const;
  // The cents of the bend step nearest to `cents`, which bend_by() keeps: it
  // truncates, as the plain bends do, where a planned pitch wants the nearest.
  double nearest_step(const ChannelState& source, double cents) const;
  // What `cents` add to the bend, in bend units: notes with the same tuning
  // need the same bend, whatever the file's own.
  int tuning(const ChannelState& source, double cents) const;
  // The 14-bit bend that adds `tuning` to the file's own on `channel`.
  int bend_by(uint8_t channel, const ChannelState& source, int tuning) const;

  // A key's place, by its tuning alone, and what that adds to the bend.
  struct PlacedKey {
    KeyPlace place;
    int tuning;
  };
  // The same as place() and tuning() with nothing planned, for a key of
  // `channel`: every note needs them, so they are worked out once per key and
  // bend range.
  const PlacedKey& placed(uint8_t channel, const ChannelState& source, uint8_t key) const;

 private:
  // What a channel's bend range gives, kept until the range changes.
  struct Known {
    Range file_range{0xFF, 0xFF};  // none yet
    double file_semitones = 0;
    Range range;           // the range the notes are bent in
    double semitones = 0;  // the same in semitones
    std::bitset<kKeys> placed;
    std::array<PlacedKey, kKeys> keys;
  };
  Known& known(uint8_t channel, const ChannelState& source) const;

  const KeyTable& keys_;
  const Method& method_;
  // Cents: a range must reach this far for every key, or as far as two
  // semitones; one that reaches less is too small.
  double least_reach_ = 0;
  mutable std::array<Known, smf::gm::kChannels> known_;
};

// Counts, per channel, the different bends its sounding notes need (the
// different tunings: notes with equal ones can share a channel, others
// cannot); a listener of the channel model for whoever reports the count.
class BendsAtOnce {
 public:
  explicit BendsAtOnce(const NoteBends& bends) : bends_(bends) {}

  // The channel's note started or ended, or the bend of its notes changed.
  void note_started(const ChannelModel& model, uint8_t channel, uint8_t key);
  void note_ended(uint8_t channel, uint8_t key);
  void bend_changed(const ChannelModel& model, uint8_t channel);
  void reset();

  int bends(uint8_t channel) const { return static_cast<int>(channels_[channel].counts.size()); }

 private:
  struct Key {
    int notes = 0;
    double cents = 0;  // settled when its first note starts, as --poly settles it
    int tuning = 0;
    bool settled = false;  // cents and tuning hold for `range`
    Range range;
  };
  struct Channel {
    std::array<Key, 128> keys;
    std::vector<std::pair<int, int>> counts;  // tuning, sounding keys that need it
    Range range;  // the file's bend range that the sounding keys' tunings follow
  };
  void count(Channel& channel, int tuning, int change);

  const NoteBends& bends_;
  std::array<Channel, smf::gm::kChannels> channels_;
};

}  // namespace retune
