#include "channel/channel_allocator.h"

#include <cstdlib>
#include <tuple>

namespace retune {

ChannelAllocator::ChannelAllocator(uint16_t channels) {
  for (int o = 0; o < kChannels; ++o) {
    channels_[o].usable = channels >> o & 1;
    if (channels_[o].usable) channels_[o].source = o;
  }
}

uint16_t ChannelAllocator::channels_of(int source) const {
  uint16_t bits = 0;
  for (int o = 0; o < kChannels; ++o)
    if (channels_[o].source == source) bits |= static_cast<uint16_t>(1u << o);
  return bits;
}

ChannelAllocator::Choice ChannelAllocator::choose(int source, int tuning, int played, int key) const {
  // Ranks: the lowest wins; `best` stays kNone when nothing qualifies.
  auto pick = [&](auto qualifies, auto rank) {
    int best = kNone;
    decltype(rank(0)) best_rank{};
    for (int o = 0; o < kChannels; ++o) {
      if (!channels_[o].usable || !qualifies(channels_[o])) continue;
      const auto r = rank(o);
      if (best == kNone || r < best_rank) best = o, best_rank = r;
    }
    return best;
  };
  auto idle_longest = [&](int o) { return std::tuple(channels_[o].idle_since, o != source, o); };
  auto of_source = [&](const Channel& c) { return c.source == source; };

  int o = pick([&](const Channel& c) { return of_source(c) && c.tuning == tuning && takes(c, played, key); },
               [&](int o) { return std::tuple(channels_[o].sounding == 0, channels_[o].idle_since, o); });
  if (o != kNone) return {o, Way::kShared};
  o = pick([](const Channel& c) { return c.sounding == 0; }, idle_longest);
  if (o != kNone) return {o, Way::kFree};
  o = pick([&](const Channel& c) { return of_source(c) && c.released == c.sounding; },
           [&](int o) { return std::tuple(channels_[o].busy_since, o); });
  if (o != kNone) return {o, Way::kPedalNotesEnded};
  o = pick([&](const Channel& c) { return of_source(c) && takes(c, played, key); },
           [&](int o) { return std::tuple(std::abs(channels_[o].tuning - tuning), o); });
  if (o != kNone) return {o, Way::kNearest};
  const int holder = busiest_other_source(source);
  o = pick([&](const Channel& c) { return c.source == holder; },
           [&](int o) { return std::tuple(channels_[o].busy_since, o); });
  if (o != kNone) return {o, Way::kTakenOver};
  return {};
}

// The source, other than `source`, that the most channels play for; kNone when
// there is none.
int ChannelAllocator::busiest_other_source(int source) const {
  std::array<int, kChannels> held{};
  for (const Channel& c : channels_)
    if (c.usable && c.source != kNone) ++held[c.source];
  int best = kNone;
  for (int s = 0; s < kChannels; ++s)
    if (s != source && held[s] > 0 && (best == kNone || held[s] > held[best])) best = s;
  return best;
}

void ChannelAllocator::note_on(int channel, int source, int tuning, int played, int key) {
  Channel& c = channels_[channel];
  c.source = source;
  c.tuning = tuning;
  if (c.sounding++ == 0) c.busy_since = ++clock_;
  ++c.keys[played];
  c.source_key[played] = static_cast<uint8_t>(key);
}

void ChannelAllocator::key_released(int channel) { ++channels_[channel].released; }

void ChannelAllocator::note_ended(int channel, int played, bool released) {
  Channel& c = channels_[channel];
  --c.keys[played];
  c.released -= released;
  if (--c.sounding == 0) c.idle_since = ++clock_;
}

void ChannelAllocator::end_notes(int channel) {
  Channel& c = channels_[channel];
  if (c.sounding > 0) c.idle_since = ++clock_;
  c.sounding = c.released = 0;
  c.keys = {};
}

void ChannelAllocator::set_tuning(int channel, int tuning) { channels_[channel].tuning = tuning; }

}  // namespace retune
