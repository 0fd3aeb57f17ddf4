// The plain methods: two passes through a scratch file. Pass 1 copies the
// input to the scratch file and inserts after every note-on a pitch bend on
// its channel (or the method's tuning messages), counting how each track
// grows; pass 2 copies the scratch file to the output and writes each track's
// new length into its chunk header.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "io/byte_io.h"
#include "retune/method.h"
#include "smf/smf_walk.h"
#include "tuning/tuning_table.h"

namespace retune {

// What pass 1 tells pass 2 about the scratch file: each track's length
// after pass 1 (bytes copied plus bytes inserted), and the blocks that pass 2
// copies as they are: alien chunks before each track, bytes after the last.
struct Layout {
  std::array<int64_t, smf::kMaxTracks> track_bytes{};
  std::array<uint64_t, smf::kMaxTracks> alien_bytes{};
  std::array<uint64_t, smf::kMaxTracks> length_at{};  // where pass 1 wrote each track's length field
  int tracks = 0;
  uint64_t tail = 0;
};

struct Counts {
  uint64_t bends = 0;
  uint64_t tuning_messages = 0;
  uint64_t unreachable_notes = 0;  // notes on keys whose pitch lies beyond the method's reach (out_of_reach)
  uint64_t moved_notes = 0;  // notes played on a neighbouring key, their offsets being beyond the bend range
};

// Under the bend methods a key whose offset lies beyond the bend range is
// played on the nearest key, with the bend for the rest. Under --mts, a
// tuning that is not twelve offsets within 100 cents is a failure.
Counts pass1(io::ByteReader& fpi, io::ByteWriter& fptmp, Layout& layout, const KeyTable& table,
             const Method& method = {});
// Copies the scratch file, each track with the length pass 1 recorded.
void pass2(io::ByteReader& fptmp, io::ByteWriter& fpo, const Layout& layout);

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
// An output that can be patched takes pass 1 directly, its track lengths
// written over afterwards: the same bytes without the scratch file's copies.
Counts run_passes(io::ByteSource& input, Scratch& scratch, io::ByteSink& output, const KeyTable& table,
                  const Method& method);
inline Counts run_passes(io::ByteSource& input, Scratch& scratch, io::ByteSink& output, const Tuning& cent,
                         const Method& method) {
  return run_passes(input, scratch, output, KeyTable::from_pitch_classes(cent), method);
}

// Both passes over bytes in memory.
std::string retune_bytes(std::string_view input, const KeyTable& table, const Method& method = {},
                         Counts* counts = nullptr);
inline std::string retune_bytes(std::string_view input, const Tuning& cent, const Method& method = {},
                                Counts* counts = nullptr) {
  return retune_bytes(input, KeyTable::from_pitch_classes(cent), method, counts);
}

}  // namespace retune
