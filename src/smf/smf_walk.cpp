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

bool is_printable(const ChunkType& type) {
  return std::all_of(type.begin(), type.end(), [](uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; });
}

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
  if (ntracks > kMaxTracks) fail(io::kExitBadEvent, messages.too_many_tracks, kMaxTracks);
  io::putshort(io::getshort(in), out);  // division
  return {format, ntracks};
}

uint32_t checked_track_length(int track, uint64_t length) {
  if (length > kMaxTrackLength)
    fail(io::kExitBadEvent, "MIDI track %d too long after retuning, maximum is %u bytes\n", track, kMaxTrackLength);
  return static_cast<uint32_t>(length);
}

void copy_track_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!is(copy_type(in, out), kTrackChunk)) fail(io::kExitBadChunk, messages.track_header, track);
}

Chunk copy_chunk_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  const ChunkType type = copy_type(in, out);
  if (is(type, kTrackChunk)) return Chunk::kTrack;
  if (!is_printable(type)) fail(io::kExitBadChunk, messages.track_header, track);
  return Chunk::kAlien;
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

size_t read_vlq(const uint8_t* p, const uint8_t* end, uint32_t& value) {
  uint32_t v = 0;
  for (size_t size = 1; size <= 4; ++size) {
    if (p == end) return 0;
    const uint8_t byte = *p++;
    v = (v << 7) | (byte & 0x7F);
    if (!(byte & 0x80)) {
      value = v;
      return size;
    }
  }
  fail(io::kExitBadEvent, "%s", kDeltaTimeMessage);
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

StatusClass class_of(uint8_t status) {
  if (status < kSysEx) return StatusClass::kChannel;
  switch (status) {
    case kMetaEvent:
      return StatusClass::kMeta;
    case kSysEx:
    case kSysExEscape:
      return StatusClass::kSysEx;
    case 0xF8:  // timing clock
    case 0xFA:  // start
    case 0xFB:  // continue
    case 0xFC:  // stop
      return StatusClass::kRealTime;
    default:
      return StatusClass::kOneDataByte;
  }
}

bool EventReader::read(const uint8_t* p, const uint8_t* end, Event& event) {
  const uint8_t* const start = p;
  Event e;
  e.delta_size = static_cast<uint8_t>(read_vlq(p, end, e.delta));
  if (e.delta_size == 0) return false;
  p += e.delta_size;
  if (p == end) return false;
  // Under running status this byte is the event's first data byte: it is
  // read below as the first byte after a status.
  e.running = !(*p & kStatusBit);
  if (!e.running) {
    e.status = *p++;
  } else {
    if (!status_seen_) fail(io::kExitBadEvent, "%s", kNoRunningStatusMessage);
    e.status = running_status_;
  }
  switch (class_of(e.status)) {
    case StatusClass::kChannel: {
      const size_t count = channel_data_bytes(e.status);
      if (static_cast<size_t>(end - p) < count) return false;
      for (size_t i = 0; i < count; ++i) e.data[i] = *p++;
      break;
    }
    case StatusClass::kMeta: {
      if (p == end) return false;
      e.data[0] = *p++;  // the type
      const size_t size = read_vlq(p, end, e.length);
      if (size == 0) return false;
      p += size;
      break;
    }
    case StatusClass::kSysEx: {
      const size_t size = read_vlq(p, end, e.length);
      if (size == 0) return false;
      p += size;
      break;
    }
    case StatusClass::kOneDataByte:
      if (p == end) return false;
      e.data[0] = *p++;
      break;
    case StatusClass::kRealTime:
      if (e.running) ++p;  // a data byte where none belongs, taken with it
      break;
  }
  e.head_size = static_cast<uint8_t>(p - start);
  if (!e.running) running_status_ = e.status;
  status_seen_ = true;
  event = e;
  return true;
}

}  // namespace retune::smf
