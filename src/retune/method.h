// What a retuning inserts and which channels it leaves alone.
#pragma once

#include <cstdint>

#include "channel/channel_state.h"
#include "smf/controllers.h"

namespace retune {

// What the inserted events are and which channels they leave alone.
struct Method {
  bool mts = false;       // one scale/octave tuning message instead of a bend per note
  bool mts_keys = false;  // a single-note tuning of every key instead of bends
  bool mts_bulk = false;  // a bulk tuning dump of every key instead of bends
  int bend_range = kDefaultBendRange;
  bool declare_bend_range = false;  // set the bend range at the start and after resets
  uint16_t skipped_channels = 0;    // bit n: channel n (0-15) is left alone
  bool poly = false;                // every sounding note on a channel bent for it alone
  bool mpe = false;                 // with poly: as an MPE lower zone, channel-wide messages on channel 1
  bool ignore_file_bends = false;   // with poly: drop the file's own pitch bends
  bool adaptive = false;            // each note's pitch planned for just consonances (adaptive.h)

  bool bends() const { return !mts && !tunes_keys(); }
  // A tuning of each of the 128 keys, by single-note changes or a bulk dump.
  bool tunes_keys() const { return mts_keys || mts_bulk; }
  bool skips(int channel) const { return (skipped_channels >> channel) & 1; }
  // The channels whose notes --poly and --adaptive move: all but the drums and those skipped.
  bool moves_notes_of(int channel) const { return channel != smf::gm::kDrumChannel && !skips(channel); }
};

}  // namespace retune
