// Retuning: the pitch-bend value a tuning gives a note, and the two passes
// that make the retuned file. Pass 1 copies the input to the scratch file and
// inserts after every note-on a pitch bend on its channel, counting how each
// track grows; pass 2 copies the scratch file to the output and writes each
// track's new length into its chunk header.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "io/byte_io.h"
#include "retune/tuning_table.h"
#include "smf/smf_walk.h"

namespace retune {

inline constexpr int kDefaultBendRange = 2;  // semitones either way
inline constexpr int kBendCentre = 8192;
inline constexpr int kBendMax = 16383;

// `cents` in bend units, 8192 to `range` semitones, truncated toward zero.
double bend_units(double cents, double range);
// The 14-bit value of `cents` on a scale of 8192 units per `range` semitones:
// 8192 + the truncated units, clamped to 0..16383.
int bend_value(double cents, int range);

// The two data bytes (LSB, MSB) of the pitch bend that retunes `note`.
void getPitch(uint8_t& bb, uint8_t& tt, int note, const Tuning& cent, int range = kDefaultBendRange);

// Whether a system-exclusive payload (the bytes after its length) is a GM,
// GM2, GS or XG reset, which puts a synthesizer back to its defaults.
bool is_reset(const uint8_t* body, uint32_t size);

// What the inserted events are and which channels they leave alone.
struct Method {
  bool mts = false;          // one tuning message instead of a bend per note
  int bend_range = kDefaultBendRange;
  bool declare_bend_range = false;  // start the file with a bend-range setting
  uint16_t skipped_channels = 0;    // bit n: channel n (0-15) is left alone
  bool poly = false;                // every sounding note on a channel bent for it alone
  bool ignore_file_bends = false;   // with poly: drop the file's own pitch bends

  bool skips(int channel) const { return (skipped_channels >> channel) & 1; }
};

// The largest offset, in cents either way, that `method` can express.
double max_offset(const Method& method);

// Each track's length after pass 1: bytes copied plus bytes inserted.
using TrackLengths = std::array<int64_t, smf::kMaxTracks>;

struct Counts {
  uint64_t bends = 0;
  uint64_t tuning_messages = 0;
  // What the pitch bends play out of tune: note-ons while a note of the same
  // track and channel sounds, and the file's own bends off centre or while
  // notes sound.
  uint64_t chord_notes = 0;
  uint64_t file_bends = 0;
};

Counts pass1(io::ByteReader& fpi, io::ByteWriter& fptmp, TrackLengths& track_bytes, const Tuning& cent,
             const Method& method = {});
// Copies the scratch file, each track with the length pass 1 recorded.
void pass2(io::ByteReader& fptmp, io::ByteWriter& fpo, const TrackLengths& track_bytes);

// Where pass 1 leaves the file for pass 2.
class Scratch {
 public:
  virtual ~Scratch() = default;
  virtual io::ByteSink& sink() = 0;
  // What was written to sink(), from its start.
  virtual io::ByteSource& reread() = 0;
};

// The whole retuning: pass 1 from `input` into `scratch`, pass 2 from it into
// `output`, flushed. When pass 2 fails, what it wrote is flushed all the same.
Counts run_passes(io::ByteSource& input, Scratch& scratch, io::ByteSink& output, const Tuning& cent,
                  const Method& method);

// Both passes over bytes in memory.
std::string retune_bytes(std::string_view input, const Tuning& cent, const Method& method = {},
                         Counts* counts = nullptr);

}  // namespace retune
