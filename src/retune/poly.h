// The polyphonic mode: the whole file is read at once, its tracks merged in
// time, and every note is given an output channel whose pitch bend is that
// note's own, so that chords play in tune on any General MIDI synthesizer.
// Notes share an output channel only when they come from the same source
// channel and their tunings add the same bend (channel/channel_allocator.h). An output channel plays for one source at a
// time: before its first note of a source it takes on that source's whole
// state, and it gets every later message of it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "io/byte_io.h"
#include "retune/intonation.h"
#include "retune/method.h"
#include "smf/smf_file.h"
#include "tuning/tuning_table.h"

namespace retune {

// What the mode did, for the messages on standard error.
struct PolyReport {
  struct Source {
    uint64_t notes = 0;
    int most_bends = 0;         // the most different bends its notes needed at once, where counted
    uint16_t channels = 0;      // bit n: output channel n played some of its notes
    uint64_t approximate = 0;
    uint64_t ended_early = 0;
    uint64_t dropped = 0;
  };
  std::array<Source, 16> sources;
  uint64_t bends = 0;        // pitch bends written
  uint64_t moved = 0;        // notes played on the nearest key, their offsets being beyond the bend range
  uint64_t unreachable = 0;  // notes on keys whose pitch lies beyond the bends' reach (out_of_reach)
  uint64_t approximate = 0;  // notes on a channel bent for other notes: no channel was free
  uint64_t ended_early = 0;  // notes ended before their time to free a channel
  uint64_t dropped = 0;      // notes left out: no channel could end them rightly
  double max_cents_off = 0;  // of the approximate ones
  uint16_t small_ranges = 0;  // bit n: channel n's own bend range could not reach the tuning
  bool one_sound = false;     // MPE: notes of channels with different programs sounded together
};

// Chooses a pitch for every note of a timeline (the merged tracks of a file,
// or one track of a format 2 file) before any is played: the notes of the
// channels the method retunes, in the order the channel model starts them,
// with their spans and pitches (100 * key plus an offset of at most
// kMostPlanned either way, to which the key's tuning is added).
class PitchPlanner {
 public:
  virtual ~PitchPlanner() = default;
  virtual std::vector<NoteSpan> plan(const smf::File& file, const std::vector<size_t>& tracks) = 0;
};
inline constexpr double kMostPlanned = 30.0;

// Retunes a whole file in memory by `keys` and `method` (its bend range,
// skipped channels and the file's own bends). Channel 10 is left alone. A key
// whose offset lies beyond the bend range is played on the nearest key, as
// the plain bends play it.
std::string retune_poly(io::Bytes input, const KeyTable& keys, const Method& method,
                        PolyReport* report = nullptr);
// The same, written to `out`; with a spool, the tracks wait there rather than
// in memory until the whole output can be written.
// With a `planner`, each note is bent by its key's offset and its planned one.
// The bends needed at once are counted only where asked (`count_bends`), as
// only --verbose tells them.
PolyReport retune_poly(io::Bytes input, const KeyTable& keys, const Method& method, io::Spool* spool,
                       io::ByteSink& out, PitchPlanner* planner = nullptr, bool count_bends = true);

}  // namespace retune
