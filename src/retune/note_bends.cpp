#include "retune/note_bends.h"

#include <algorithm>
#include <cmath>

namespace retune {

NoteBends::NoteBends(const KeyTable& keys, const Method& method, double planned) : keys_(keys), method_(method) {
  // A range reaches a key whose offset it spans, or whose rest of the offset
  // after the move to the nearest key it spans: a wider range reaches more.
  double reach_needed = 0;
  for (int key = 0; key < kKeys; ++key) {
    const double offset = (keys.mapped[key] ? std::fabs(keys.offset[key]) : 0.0) + planned;
    const double rest = std::fabs(place_key(keys, key, 0).cents) + planned;
    reach_needed = std::max(reach_needed, std::min(offset, rest));
  }
  least_reach_ = std::min(reach_needed, 100.0 * kDefaultBendRange);
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

int NoteBends::tuning(const ChannelState& source, double cents) const {
  const double range = this->range(source).in_semitones();
  return range > 0 ? static_cast<int>(bend_units(cents, range)) : 0;
}

int NoteBends::bend_by(uint8_t channel, const ChannelState& source, int tuning) const {
  const Known& k = known(channel, source);
  // Where the file bends in the same range, its bend and the tuning add up as they are.
  if (k.range == source.range && k.semitones > 0) return std::clamp(source.bend + tuning, 0, kBendMax);
  return note_bend_by(source.bend, k.file_semitones, tuning, k.semitones);
}

NoteBends::Known& NoteBends::known(uint8_t channel, const ChannelState& source) const {
  Known& k = known_[channel];
  if (!(source.range == k.file_range)) {
    k.file_range = source.range;
    k.file_semitones = source.range.in_semitones();
    k.range = range(source);
    k.semitones = k.range.in_semitones();
    k.placed.reset();
  }
  return k;
}

const NoteBends::PlacedKey& NoteBends::placed(uint8_t channel, const ChannelState& source, uint8_t key) const {
  Known& k = known(channel, source);
  PlacedKey& placed = k.keys[key];
  if (!k.placed[key]) {
    placed.place = place(source, key);
    placed.tuning = tuning(source, placed.place.cents);
    k.placed[key] = true;
  }
  return placed;
}

// Only how many tunings there are matters, not their order: an ended one
// gives its place to the last.
void BendsAtOnce::count(Channel& channel, int tuning, int change) {
  auto& counts = channel.counts;
  for (auto it = counts.begin(); it != counts.end(); ++it) {
    if (it->first != tuning) continue;
    it->second += change;
    if (it->second != 0) return;
    *it = counts.back();
    counts.pop_back();
    return;
  }
  counts.emplace_back(tuning, change);
}

void BendsAtOnce::note_started(const ChannelModel& model, uint8_t channel, uint8_t key) {
  Channel& c = channels_[channel];
  Key& k = c.keys[key];
  if (k.notes++ > 0) return;
  const ChannelState& state = model.state(channel);
  // A key's bend, worked out once for each bend range it sounds in.
  if (!k.settled || !(k.range == state.range)) {
    const NoteBends::PlacedKey& placed = bends_.placed(channel, state, key);
    k.cents = placed.place.cents;
    k.tuning = placed.tuning;
    k.range = state.range;
    k.settled = true;
  }
  c.range = state.range;
  count(c, k.tuning, +1);
}

void BendsAtOnce::note_ended(uint8_t channel, uint8_t key) {
  Channel& c = channels_[channel];
  Key& k = c.keys[key];
  if (k.notes == 0 || --k.notes > 0) return;
  count(c, k.tuning, -1);
}

// A tuning follows the bend range alone, not the file's bend: only a new
// range changes the count.
void BendsAtOnce::bend_changed(const ChannelModel& model, uint8_t channel) {
  Channel& c = channels_[channel];
  const ChannelState& state = model.state(channel);
  if (c.counts.empty() || state.range == c.range) return;
  c.counts.clear();
  c.range = state.range;
  for (Key& k : c.keys) {
    if (k.notes == 0) continue;
    // Its notes keep the cents they started with; the next starts afresh.
    k.tuning = bends_.tuning(state, k.cents);
    k.settled = false;
    count(c, k.tuning, +1);
  }
}

// A key's bend follows the bend range alone: what a key settled stays true,
// and only a channel with keys sounding has counts to clear.
void BendsAtOnce::reset() {
  for (Channel& c : channels_) {
    if (c.counts.empty()) continue;
    for (Key& k : c.keys) k.notes = 0;
    c.counts.clear();
  }
}

}  // namespace retune
