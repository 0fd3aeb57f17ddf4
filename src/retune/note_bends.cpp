#include "retune/note_bends.h"

#include <algorithm>
#include <cmath>

namespace retune {

NoteBends::NoteBends(const KeyTable& keys, const Method& method, double planned) : keys_(keys), method_(method) {
  // A range reaches a key whose offset it spans, or whose rest of the offset
  // after the move to the nearest key it spans: a wider range reaches more.
  for (int key = 0; key < kKeys; ++key) {
    const double offset = (keys.mapped[key] ? std::fabs(keys.offset[key]) : 0.0) + planned;
    const double rest = std::fabs(place_key(keys, key, 0).cents) + planned;
    reach_needed_ = std::max(reach_needed_, std::min(offset, rest));
  }
}

// Two semitones are declared instead only where they reach further.
bool NoteBends::range_too_small(const Range& range) const {
  return 100 * range.in_semitones() < std::min(reach_needed_, 100.0 * kDefaultBendRange);
}

Range NoteBends::range(const ChannelState& source) const {
  if (method_.declare_bend_range) return {static_cast<uint8_t>(method_.bend_range), 0};
  if (range_too_small(source.range)) return {kDefaultBendRange, 0};
  return source.range;
}

KeyPlace NoteBends::place(const ChannelState& source, int key, double planned) const {
  return place_offset(key, key_offset(keys_, key) + planned, range(source).in_semitones());
}

double NoteBends::nearest_step(const ChannelState& source, double cents) const {
  const double range = this->range(source).in_semitones();
  if (!(range > 0)) return cents;
  const double step = range * 100 / kBendCentre;
  const double steps = std::round(cents / step);
  return (steps + std::copysign(1e-6, steps)) * step;  // a hair beyond, so that truncation keeps it
}

int NoteBends::bend(const ChannelState& source, double cents) const {
  return note_bend(source.bend, source.range.in_semitones(), cents, range(source).in_semitones());
}

int NoteBends::tuning(const ChannelState& source, double cents) const {
  const double range = this->range(source).in_semitones();
  return range > 0 ? static_cast<int>(bend_units(cents, range)) : 0;
}

void BendsAtOnce::count(Channel& channel, int tuning, int change) {
  auto it = std::find_if(channel.counts.begin(), channel.counts.end(), [tuning](auto& c) { return c.first == tuning; });
  if (it == channel.counts.end()) it = channel.counts.insert(it, {tuning, 0});
  it->second += change;
  if (it->second == 0) channel.counts.erase(it);
}

void BendsAtOnce::note_started(const ChannelModel& model, uint8_t channel, uint8_t key) {
  Channel& c = channels_[channel];
  Key& k = c.keys[key];
  if (k.notes++ > 0) return;
  const ChannelState& state = model.state(channel);
  k.cents = bends_.place(state, key).cents;
  k.tuning = bends_.tuning(state, k.cents);
  count(c, k.tuning, +1);
}

void BendsAtOnce::note_ended(uint8_t channel, uint8_t key) {
  Channel& c = channels_[channel];
  Key& k = c.keys[key];
  if (k.notes == 0 || --k.notes > 0) return;
  count(c, k.tuning, -1);
}

void BendsAtOnce::bend_changed(const ChannelModel& model, uint8_t channel) {
  Channel& c = channels_[channel];
  if (c.counts.empty()) return;
  c.counts.clear();
  const ChannelState& state = model.state(channel);
  for (Key& k : c.keys) {
    if (k.notes == 0) continue;
    k.tuning = bends_.tuning(state, k.cents);
    count(c, k.tuning, +1);
  }
}

void BendsAtOnce::reset() { channels_ = {}; }

}  // namespace retune
