// A look inside a file before retuning it: its shape and length, what each
// channel plays (how many notes sound at once and how many different bends
// they need under a tuning, the file's own bends and bend ranges, programs),
// its resets, and which output method suits it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "retune/intonation.h"
#include "retune/retune.h"
#include "tuning/tuning_table.h"

namespace retune {

struct Analysis {
  struct RangeSetting {
    uint64_t tick = 0;
    int semitones = 0;
    int cents = 0;
  };
  struct Reset {
    uint64_t tick = 0;
    const char* kind = "";  // GM, GM2, GS or XG
  };
  struct Channel {
    bool skipped = false;           // left alone by the method options
    uint64_t notes = 0;
    int most_sounding = 0;          // the pedal's held notes included
    int most_bends = 0;             // different bends the sounding notes need at once
    uint64_t chord_notes = 0;       // notes that start while their channel needs several bends
    uint64_t bends = 0;             // the file's own pitch-bend events
    int lowest_bend = kBendMax;
    int highest_bend = 0;
    uint64_t bends_in_play = 0;     // off centre, or while notes sound: the plain method cuts them
    std::vector<RangeSetting> ranges;  // bend-range (RPN 0) changes
    std::vector<int> programs;         // in order of first use

    bool used() const { return notes || bends || !ranges.empty() || !programs.empty(); }
  };
  enum class Advice { kPlain, kPoly, kMts };

  uint16_t format = 0;
  uint16_t division = 0;
  size_t tracks = 0;
  uint64_t length_ticks = 0;
  double length_seconds = 0;  // by the tempo map; negative when the division gives no time
  std::array<Channel, 16> channels;
  std::vector<Reset> resets;
  int most_pairs = 0;        // different (channel, bend) pairs sounding at once, on the channels --poly moves
  int poly_channels = 0;     // the output channels --poly has
  Advice advice = Advice::kPlain;
  uint16_t chords = 0;       // bit n: channel n needs several bends at once
  uint16_t own_bends = 0;    // bit n: channel n has bends the plain method would cut
  uint16_t own_ranges = 0;   // bit n: channel n sets another bend range than the bends are made for
  bool drums = false;        // notes on channel 10, which the plain method bends
  bool mts_fits = false;     // twelve offsets within what --mts can express; else --mts=keys
  uint64_t note_ons = 0;         // on the channels the method tunes
  uint64_t note_ons_bent = 0;    // of them, followed at the same tick by a pitch bend on their channel
  bool starts_tuned = false;     // a tuning message such as retune writes at the first tick
  Intonation intonation;         // of the notes --poly moves, by the file's own bends

  // The file bears the marks of an earlier retuning: a second one would add
  // its tuning to the first.
  bool retuned_before() const;
};

// For a report without a tuning: every pitch class has an offset of its own,
// so that notes need the bends most tunings give them.
KeyTable every_class_its_own();

// Analyses a whole file as `method` would retune it by `keys`. A file the
// passes would refuse is refused with the same message and status.
Analysis analyze(io::Bytes bytes, const KeyTable& keys, const Method& method);

}  // namespace retune
