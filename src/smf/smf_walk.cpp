#include "smf/smf_walk.h"

namespace retune::smf {

using io::ByteReader;
using io::ByteWriter;
using io::fail;

const Messages kPass1Messages = {
    "MIDI track header incorrect\n",
    "MIDI track header size incorrect\n",
    "Too many tracks in MIDI file, maximum is %d\n",
    "MIDI track chunk header incorrect in track %d\n",
};

// Kept as they are on purpose, odd prefixes and spacing included: scripts match them.
const Messages kPass2Messages = {
    "pass 2: MIDI track header incorrect\n",
    "pass 2: MIDI track header size incorrect\n",
    "pass 2:Too many tracks in MIDI file, maximum is %d\n",
    "pass2: MIDI track chunk header incorrect in track %d\n",
};

namespace {

// Copies the 4-byte chunk type and tells whether it is `expected`.
bool copy_chunk_type(ByteReader& in, ByteWriter& out, const char* expected) {
  bool matches = true;
  for (int i = 0; i < 4; ++i) {
    const uint8_t byte = io::getb(in);
    io::putb(byte, out);
    matches = matches && byte == static_cast<uint8_t>(expected[i]);
  }
  return matches;
}

}  // namespace

int copy_header_chunk(ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!copy_chunk_type(in, out, kHeaderChunk)) fail(io::kExitBadChunk, "%s", messages.header);
  const uint32_t length = io::getint(in);
  io::putint(length, out);
  if (length != kHeaderLength) fail(io::kExitBadChunk, "%s", messages.header_size);
  io::putshort(io::getshort(in), out);  // format
  const uint16_t ntracks = io::getshort(in);
  io::putshort(ntracks, out);
  if (ntracks > kMaxTracks) fail(io::kExitBadTracks, messages.too_many_tracks, kMaxTracks);
  io::putshort(io::getshort(in), out);  // division
  return ntracks;
}

void copy_track_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!copy_chunk_type(in, out, kTrackChunk)) fail(io::kExitBadChunk, messages.track_header, track);
}

namespace detail {

void fail_delta_time() { fail(io::kExitBadTracks, "%s", kDeltaTimeMessage); }

void fail_no_running_status() { fail(io::kExitBadTracks, "%s", kNoRunningStatusMessage); }

}  // namespace detail

}  // namespace retune::smf
