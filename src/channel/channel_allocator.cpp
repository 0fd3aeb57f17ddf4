#include "channel/channel_allocator.h"

#include <bit>
#include <cstdlib>

namespace retune {

ChannelAllocator::ChannelAllocator(uint16_t channels) : idle_(channels) {
  for (int o = 0; o < kChannels; ++o) {
    channels_[o].usable = channels >> o & 1;
    if (channels_[o].usable) channels_[o].source = o;
    of_source_[o] = static_cast<uint16_t>(channels & 1u << o);
  }
}

ChannelAllocator::Choice ChannelAllocator::choose(int source, int tuning, int played, int key) const {
  // Ranks: the lowest wins, the lowest channel among equals; `best` stays
  // kNone when no channel of `candidates` qualifies. A rank of two keys is
  // one number, the first key in the high bits: the clock counts notes, far
  // below 2^62.
  auto pick = [&](unsigned candidates, auto qualifies, auto rank) {
    int best = kNone;
    decltype(rank(0)) best_rank{};
    for (; candidates; candidates &= candidates - 1) {
      const int o = std::countr_zero(candidates);
      if (!qualifies(channels_[o])) continue;
      const auto r = rank(o);
      if (best == kNone || r < best_rank) best = o, best_rank = r;
    }
    return best;
  };
  const unsigned own = of_source_[source];
  int o = pick(own, [&](const Channel& c) { return c.tuning == tuning && takes(c, played, key); },
               [&](int o) { return uint64_t{channels_[o].sounding == 0} << 63 | channels_[o].idle_since; });
  if (o != kNone) return {o, Way::kShared};
  o = pick(idle_, [](const Channel&) { return true; },
           [&](int o) { return channels_[o].idle_since << 1 | uint64_t{o != source}; });
  if (o != kNone) return {o, Way::kFree};
  o = pick(own, [](const Channel& c) { return c.released == c.sounding; }, [&](int o) { return channels_[o].busy_since; });
  if (o != kNone) return {o, Way::kPedalNotesEnded};
  o = pick(own, [&](const Channel& c) { return takes(c, played, key); },
           [&](int o) { return std::abs(channels_[o].tuning - tuning); });
  if (o != kNone) return {o, Way::kNearest};
  const int holder = busiest_other_source(source);
  if (holder == kNone) return {};
  o = pick(of_source_[holder], [](const Channel&) { return true; }, [&](int o) { return channels_[o].busy_since; });
  return {o, Way::kTakenOver};
}

// The source, other than `source`, that the most channels play for; kNone when
// there is none.
int ChannelAllocator::busiest_other_source(int source) const {
  int best = kNone;
  for (int s = 0; s < kChannels; ++s)
    if (s != source && of_source_[s] && (best == kNone || std::popcount(of_source_[s]) > std::popcount(of_source_[best])))
      best = s;
  return best;
}

void ChannelAllocator::count_sounding(int channel, int sounding) {
  channels_[channel].sounding = sounding;
  const auto bit = static_cast<uint16_t>(1u << channel);
  idle_ = static_cast<uint16_t>(sounding == 0 ? idle_ | bit : idle_ & ~bit);
}

void ChannelAllocator::note_on(int channel, int source, int tuning, int played, int key) {
  Channel& c = channels_[channel];
  const auto bit = static_cast<uint16_t>(1u << channel);
  if (c.source != kNone) of_source_[c.source] &= static_cast<uint16_t>(~bit);
  of_source_[source] |= bit;
  c.source = source;
  c.tuning = tuning;
  if (c.sounding == 0) c.busy_since = ++clock_;
  count_sounding(channel, c.sounding + 1);
  ++c.keys[played];
  c.playing[played / 64] |= uint64_t{1} << (played % 64);
  c.source_key[played] = static_cast<uint8_t>(key);
}

void ChannelAllocator::key_released(int channel) { ++channels_[channel].released; }

void ChannelAllocator::note_ended(int channel, int played, bool released) {
  Channel& c = channels_[channel];
  if (--c.keys[played] == 0) c.playing[played / 64] &= ~(uint64_t{1} << (played % 64));
  c.released -= released;
  count_sounding(channel, c.sounding - 1);
  if (c.sounding == 0) c.idle_since = ++clock_;
}

void ChannelAllocator::end_notes(int channel) {
  Channel& c = channels_[channel];
  if (c.sounding > 0) c.idle_since = ++clock_;
  count_sounding(channel, 0);
  c.released = 0;
  c.keys = {};
  c.playing = {};
}

std::array<uint64_t, 2> ChannelAllocator::keys_of(int channel) const {
  const Channel& c = channels_[channel];
  std::array<uint64_t, 2> keys{};
  for (int word = 0; word < 2; ++word)
    for (uint64_t bits = c.playing[word]; bits; bits &= bits - 1) {
      const int key = c.source_key[64 * word + std::countr_zero(bits)];
      keys[key / 64] |= uint64_t{1} << (key % 64);
    }
  return keys;
}

void ChannelAllocator::set_tuning(int channel, int tuning) { channels_[channel].tuning = tuning; }

}  // namespace retune
