#include "smf/smf_walk.h"

#include <algorithm>
#include <array>

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

using ChunkType = std::array<uint8_t, 4>;

ChunkType copy_type(ByteReader& in, ByteWriter& out) {
  ChunkType type;
  for (uint8_t& byte : type) {
    byte = io::getb(in);
    io::putb(byte, out);
  }
  return type;
}

bool is(const ChunkType& type, const char* name) { return std::equal(type.begin(), type.end(), name); }


}  // namespace

Header copy_header_chunk(ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!is(copy_type(in, out), kHeaderChunk)) fail(io::kExitBadChunk, "%s", messages.header);
  const uint32_t length = io::getint(in);
  io::putint(length, out);
  if (length != kHeaderLength) fail(io::kExitBadChunk, "%s", messages.header_size);
  const uint16_t format = io::getshort(in);
  io::putshort(format, out);
  const uint16_t ntracks = io::getshort(in);
  io::putshort(ntracks, out);
  if (ntracks > kMaxTracks) fail(io::kExitBadTracks, messages.too_many_tracks, kMaxTracks);
  const uint16_t division = io::getshort(in);
  io::putshort(division, out);
  return {format, ntracks, division};
}

uint32_t checked_track_length(int track, uint64_t length) {
  if (length > kMaxTrackLength)
    fail(io::kExitBadTracks, "MIDI track %d too long after retuning, maximum is %u bytes\n", track, kMaxTrackLength);
  return static_cast<uint32_t>(length);
}

void copy_track_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!is(copy_type(in, out), kTrackChunk)) fail(io::kExitBadChunk, messages.track_header, track);
}

Chunk chunk_kind(const uint8_t* type, int track, const Messages& messages) {
  if (std::equal(type, type + 4, kTrackChunk)) return Chunk::kTrack;
  if (!std::all_of(type, type + 4, [](uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }))
    fail(io::kExitBadChunk, messages.track_header, track);
  return Chunk::kAlien;
}

Chunk copy_chunk_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  return chunk_kind(copy_type(in, out).data(), track, messages);
}

uint64_t copy_alien_chunk(ByteReader& in, ByteWriter& out) {
  const uint32_t length = io::getint(in);
  io::putint(length, out);
  in.copy_to(out, length);
  return 8 + uint64_t{length};
}

uint64_t copy_rest(ByteReader& in, ByteWriter& out) {
  uint64_t copied = 0;
  // fill() is false at the end of the input, or where it cannot be read.
  while (in.fill(1)) {
    const size_t size = static_cast<size_t>(in.end() - in.data());
    out.write(in.data(), size);
    in.skip(size);
    copied += size;
  }
  return copied;
}

size_t write_vlq(uint32_t value, uint8_t* out) {
  size_t size = 1;
  while (size < 4 && value >> (7 * size)) ++size;
  for (size_t i = 0; i < size; ++i) {
    const auto group = static_cast<uint8_t>((value >> (7 * (size - 1 - i))) & 0x7F);
    out[i] = i + 1 < size ? (group | 0x80) : group;
  }
  return size;
}

namespace detail {

void fail_delta_time() { fail(io::kExitBadTracks, "%s", kDeltaTimeMessage); }

void fail_no_running_status() { fail(io::kExitBadTracks, "%s", kNoRunningStatusMessage); }

}  // namespace detail

}  // namespace retune::smf
