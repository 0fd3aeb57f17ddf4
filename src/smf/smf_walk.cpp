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
  if (ntracks > kMaxTracks) fail(io::kExitBadEvent, messages.too_many_tracks, kMaxTracks);
  io::putshort(io::getshort(in), out);  // division
  return ntracks;
}

void copy_track_type(int track, ByteReader& in, ByteWriter& out, const Messages& messages) {
  if (!copy_chunk_type(in, out, kTrackChunk)) fail(io::kExitBadChunk, messages.track_header, track);
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
