// The channel allocator on plain note sequences: which output channel each
// rule gives a note, by the notes that sound before it.
#include <gtest/gtest.h>

#include <vector>

#include "channel/channel_allocator.h"

namespace {

using retune::ChannelAllocator;
using Way = ChannelAllocator::Way;

// A note that sounds before the choice: on `channel`, of `source`, with
// `tuning`, on `key`; released: only the pedal holds it; ended: it is over.
struct Before {
  int channel, source, tuning, key;
  bool released = false, ended = false;
};

TEST(ChannelAllocator, EachRuleInTurn) {
  const struct {
    const char* what;
    uint16_t channels;
    std::vector<Before> before;
    int source, tuning, played, key;
    ChannelAllocator::Choice want;
  } cases[] = {
      {"a source's own channel, free", 0x0003, {}, 1, 8000, 60, 60, {1, Way::kFree}},
      {"its source, its tuning: shared", 0x0003, {{0, 0, 8000, 60}}, 0, 8000, 64, 64, {0, Way::kShared}},
      {"another tuning: the free channel", 0x0003, {{0, 0, 8000, 60}}, 0, 8100, 64, 64, {1, Way::kFree}},
      {"the free channel idle longest", 0x0006, {{2, 3, 8000, 60, false, true}, {1, 3, 8100, 60, false, true}},
       3, 8200, 60, 60, {2, Way::kFree}},
      {"the same played key for another key: not shared", 0x0003, {{0, 0, 8000, 64}}, 0, 8000, 64, 61,
       {1, Way::kFree}},
      {"notes the pedal alone holds give way", 0x0003, {{0, 0, 8000, 60, true}, {1, 0, 8100, 62}}, 0, 8200, 64, 64,
       {0, Way::kPedalNotesEnded}},
      {"held notes: the nearest tuning of its source", 0x0003, {{0, 0, 8000, 60}, {1, 0, 9000, 62}}, 0, 8900, 64, 64,
       {1, Way::kNearest}},
      {"another source's channel only as the last resort", 0x0007,
       {{0, 0, 8000, 60}, {1, 1, 9000, 62}, {2, 1, 8100, 63}}, 0, 8500, 64, 64, {0, Way::kNearest}},
      {"taken over: the busiest source's channel busy longest", 0x0007,
       {{0, 0, 8000, 60}, {1, 1, 9000, 62}, {2, 1, 8100, 63}}, 5, 8500, 64, 64, {1, Way::kTakenOver}},
      {"nowhere to end it rightly", 0x0001, {{0, 0, 8000, 64}}, 0, 8000, 64, 61, {}},
  };
  for (const auto& c : cases) {
    ChannelAllocator allocator(c.channels);
    for (const Before& b : c.before) {
      allocator.note_on(b.channel, b.source, b.tuning, b.key, b.key);
      if (b.released) allocator.key_released(b.channel);
      if (b.ended) allocator.note_ended(b.channel, b.key, false);
    }
    const ChannelAllocator::Choice got = allocator.choose(c.source, c.tuning, c.played, c.key);
    EXPECT_EQ(got.channel, c.want.channel) << c.what;
    EXPECT_EQ(got.way, c.want.way) << c.what;
  }
}

}  // namespace
