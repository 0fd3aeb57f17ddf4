// Output channels for notes that each need their source channel's settings
// and a bend of their own. A note's tuning is what its offset adds to the
// bend, in bend units: notes of a source with the same tuning need the same
// bend, whatever the source's own bend does. Each output channel plays for
// one source at a time: it has that source's settings and gets its messages.
// A note takes the first of:
//   1. a channel of its source with its tuning (and no other key of the
//      source sounding on the key it is played on);
//   2. the free channel idle longest (the release of its last notes has had
//      the most time to fade), its source's own first among equals;
//   3. a channel of its source whose notes all sound only through the pedal:
//      they end there;
//   4. the channel of its source whose tuning is nearest: the note is played
//      approximately;
//   5. among the channels of the source that holds the most, the one whose
//      notes started earliest: they end there, and the channel changes source.
// So a note never sounds with another source's settings: ending notes that
// sound only through the pedal comes before a pitch error, a pitch error
// before ending a held note. The allocator works on plain numbers; the
// caller ends the notes a choice calls for and tells it of every note.
#pragma once

#include <array>
#include <cstdint>

namespace retune {

class ChannelAllocator {
 public:
  static constexpr int kChannels = 16;
  static constexpr int kNone = -1;

  enum class Way { kShared, kFree, kPedalNotesEnded, kNearest, kTakenOver, kNone };
  struct Choice {
    int channel = kNone;
    Way way = Way::kNone;
  };

  // Bit n of `channels`: output channel n takes notes. Each starts out
  // playing for the source of its own number.
  explicit ChannelAllocator(uint16_t channels);

  // Where a note of `source` with `tuning`, its key `key` played on
  // `played`, is to go. Changes nothing.
  Choice choose(int source, int tuning, int played, int key) const;

  // The note is on `channel`, which plays for `source` from now on, its notes
  // bent for `tuning`.
  void note_on(int channel, int source, int tuning, int played, int key);
  // Its key was released: it sounds on only through the pedal.
  void key_released(int channel);
  void note_ended(int channel, int played, bool released);
  // Every note on the channel ended at once.
  void end_notes(int channel);
  void set_tuning(int channel, int tuning);

  int source_of(int channel) const { return channels_[channel].source; }
  // Bit n: output channel n plays for `source`.
  uint16_t channels_of(int source) const { return of_source_[source]; }
  int tuning(int channel) const { return channels_[channel].tuning; }
  int sounding(int channel) const { return channels_[channel].sounding; }
  // The source's keys of the notes sounding on `channel`: bit n of word n / 64 for key n.
  std::array<uint64_t, 2> keys_of(int channel) const;

 private:
  struct Channel {
    bool usable = false;
    int source = kNone;
    int tuning = kNone;           // none since its bend was last stated
    int sounding = 0;
    int released = 0;             // notes the pedal alone holds
    uint64_t idle_since = 0;      // when its last note ended
    uint64_t busy_since = 0;      // when the first of its sounding notes started
    std::array<uint16_t, 128> keys{};      // sounding notes per key played
    std::array<uint8_t, 128> source_key{};  // the source's key of those notes
    std::array<uint64_t, 2> playing{};      // bit per key played with notes sounding
  };

  bool takes(const Channel& c, int played, int key) const {
    return c.keys[played] == 0 || c.source_key[played] == key;
  }
  int busiest_other_source(int source) const;
  void count_sounding(int channel, int sounding);

  std::array<Channel, kChannels> channels_;
  // Bit n of each: output channel n plays for that source; takes notes and
  // none sound there. A choice walks only these channels.
  std::array<uint16_t, kChannels> of_source_{};
  uint16_t idle_ = 0;
  uint64_t clock_ = 0;  // counts notes started and ended
};

}  // namespace retune
