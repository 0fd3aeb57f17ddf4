// The pitch bends that retune a note: a tuning's offset in bend units, the
// key a note is played on when its offset lies beyond the bends, and the
// bend a note needs on a channel that the file bends too.
#pragma once

#include <bitset>
#include <cstdint>

#include "retune/method.h"
#include "tuning/tuning_table.h"

namespace retune {

// `cents` in bend units, 8192 to `range` semitones, truncated toward zero.
double bend_units(double cents, double range);
// The 14-bit value of `cents` on a scale of 8192 units per `range` semitones:
// 8192 + the truncated units, clamped to 0..16383.
int bend_value(double cents, int range);

// The two data bytes (LSB, MSB) of the pitch bend that retunes `note`.
void getPitch(uint8_t& bb, uint8_t& tt, int note, const Tuning& cent, int range = kDefaultBendRange);

// Where a key byte of a note event is played under the bend methods, and by
// how many cents its bend is to move it.
struct KeyPlace {
  uint8_t key;
  double cents;
};

// A key whose offset lies within ±`range` semitones keeps its place and its
// offset; one beyond it is played on the nearest key (key + round(offset /
// 100)), the rest of the offset left to the bend; an unmapped key keeps its
// place unbent. A byte above 127 is no key: it keeps its place, with the
// offset of the key of its pitch class in the lowest octave.
KeyPlace place_key(const KeyTable& table, int byte, double range);
// The offset the table gives a key byte (0 unmapped).
double key_offset(const KeyTable& table, int byte);
// The same as place_key for a key byte whose offset is `offset` cents.
KeyPlace place_offset(int byte, double offset, double range);

// How the plain bends play a key byte: on which key, with which bend (LSB,
// MSB) for a range of `range` semitones.
struct PlayedKey {
  uint8_t key;
  uint8_t lsb;
  uint8_t msb;
};
PlayedKey play_key(const KeyTable& table, int byte, int range);

// The range, in semitones, of the bends on a channel whose notes each have a
// bend of their own: the user's when `method` declares one, else the range the
// file sets on the channel.
double bends_range(const Method& method, double file_range);

// The bend a note needs on a channel that the file bends by `file_bend`, made
// for `file_range` semitones: the file's bend rescaled to `range`, plus
// `units` bend units of `range` (bend_units()); clamped to 0..16383. On a
// channel of range 0, which does not bend, the file's bend stays.
int note_bend_by(int file_bend, double file_range, double units, double range);

// A single note tuning names a pitch in 2^14 steps of a semitone, up to two
// steps short of the semitone above key 127 (7F 7F 7F means "no change").
inline constexpr int kFractionSteps = 1 << 14;
inline constexpr int64_t kHighestFrequency = int64_t{kKeys - 1} * kFractionSteps + kFractionSteps - 2;

// The keys whose pitch under a tuning lies beyond what a method can sound
// (MIDI's keys and, for the bend methods, the bend range past them).
struct Reach {
  std::bitset<kKeys> beyond;
  double most_cents = 0;  // the largest distance to the nearest pitch sounded
};
Reach out_of_reach(const KeyTable& table, const Method& method);

// The largest offset, in cents either way, that `method` can express.
double max_offset(const Method& method);

}  // namespace retune
