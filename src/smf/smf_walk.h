// Standard MIDI Files: the chunk framing (one header chunk, then as many
// track chunks as it announces) and the one reader of track events, which
// every pass and every mode asks for events.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/byte_io.h"

namespace retune::smf {

inline constexpr char kHeaderChunk[] = "MThd";
inline constexpr char kTrackChunk[] = "MTrk";
inline constexpr uint32_t kHeaderLength = 6;
inline constexpr int kMaxTracks = 1024;
inline constexpr uint32_t kMaxTrackLength = 0xFFFFFFFF;  // what a track chunk's length field holds

inline constexpr uint8_t kStatusBit = 0x80;
inline constexpr uint8_t kNoteOff = 0x80;
inline constexpr uint8_t kNoteOn = 0x90;
inline constexpr uint8_t kPolyPressure = 0xA0;
inline constexpr uint8_t kController = 0xB0;
inline constexpr uint8_t kProgram = 0xC0;
inline constexpr uint8_t kChannelPressure = 0xD0;
inline constexpr uint8_t kPitchBend = 0xE0;
inline constexpr uint8_t kSysEx = 0xF0;
inline constexpr uint8_t kSysExEscape = 0xF7;
inline constexpr uint8_t kMetaEvent = 0xFF;
inline constexpr uint8_t kEndOfTrack = 0x2F;  // the meta event type that ends a track

inline constexpr uint8_t kind_of(uint8_t status) { return status & 0xF0; }
inline constexpr uint8_t channel_of(uint8_t status) { return status & 0x0F; }
inline constexpr bool is_sysex(uint8_t status) { return status == kSysEx || status == kSysExEscape; }
// Note-off, note-on and polyphonic pressure: the channel messages about one key.
inline constexpr bool is_note_message(uint8_t kind) { return kind >= kNoteOff && kind <= kPolyPressure; }

// What follows a status byte.
enum class StatusClass { kChannel, kMeta, kSysEx, kOneDataByte, kRealTime };

inline StatusClass class_of(uint8_t status) {
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

// Data bytes of a channel message, by the status's high nibble.
inline constexpr uint8_t kDataBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};
inline constexpr size_t channel_data_bytes(uint8_t status) { return kDataBytes[status >> 4]; }

// The texts a pass reports its framing failures with.
struct Messages {
  const char* header;
  const char* header_size;
  const char* too_many_tracks;  // %d: the limit
  const char* track_header;     // %d: the track index, from 0
};
extern const Messages kPass1Messages;
extern const Messages kPass2Messages;
inline constexpr char kDeltaTimeMessage[] = "Error in delta time encoding\n";
inline constexpr char kNoRunningStatusMessage[] = "No running MIDI command defined\n";

struct Header {
  int format;
  int ntracks;
  uint16_t division;
};
inline constexpr int kIndependentTracks = 2;  // the format whose tracks are sequences of their own

// Copies and checks the header chunk.
Header copy_header_chunk(io::ByteReader& in, io::ByteWriter& out, const Messages& messages);

// Copies a track chunk's type; a wrong one is a failure.
void copy_track_type(int track, io::ByteReader& in, io::ByteWriter& out, const Messages& messages);

// What stands where a track is expected: the track, or an alien chunk (a
// type of four printable characters other than "MTrk"), which readers skip.
enum class Chunk { kTrack, kAlien };

// The length of track `track` as it is to be written; one longer than the
// length field can hold is a failure.
uint32_t checked_track_length(int track, uint64_t length);

// What the 4-byte chunk `type` is where track `track` is expected; a type that
// is neither is a failure.
Chunk chunk_kind(const uint8_t* type, int track, const Messages& messages);

// Copies the type of the chunk where track `track` is expected, by chunk_kind().
Chunk copy_chunk_type(int track, io::ByteReader& in, io::ByteWriter& out, const Messages& messages);

// Copies the rest of an alien chunk, its length and the bytes it declares;
// returns the chunk's whole size, type included.
uint64_t copy_alien_chunk(io::ByteReader& in, io::ByteWriter& out);

// Copies whatever follows the last track, as far as it can be read; returns
// how many bytes that was.
uint64_t copy_rest(io::ByteReader& in, io::ByteWriter& out);

// Reads a variable-length quantity of at most 4 bytes from [p, end) into
// `value`; returns its size in bytes, or 0 when it runs past `end`. A fourth
// byte that is not the last is a failure.
inline size_t read_vlq(const uint8_t* p, const uint8_t* end, uint32_t& value);

// Writes `value` (below 2^28) as a variable-length quantity to `out`, which
// has room for 4 bytes; returns its size in bytes.
size_t write_vlq(uint32_t value, uint8_t* out);

// One track event as the file has it: delta time, status or running status,
// the data bytes its status calls for, and for meta and system-exclusive
// events the length of the payload that follows.
struct Event {
  uint32_t delta = 0;
  uint8_t status = 0;       // the status that governs the event
  bool running = false;     // no status byte of its own: it runs on `status`
  uint8_t data[2] = {};     // a channel message's data bytes; a meta event's type
  uint8_t delta_size = 0;   // bytes of the delta time
  uint8_t head_size = 0;    // bytes before the payload: delta time to length
  uint32_t length = 0;      // payload bytes after the head

  uint64_t size() const { return head_size + uint64_t{length}; }
};

// The longest head an event can have: a 4-byte delta time, a status, a meta
// type and a 4-byte length.
inline constexpr size_t kLongestHead = 10;

// Reads events one after the other, keeping the running status from each to
// the next, across tracks too.
class EventReader {
 public:
  // Reads the event whose first byte is at `p`, with the buffered bytes
  // ending at `end`. Returns false, changing nothing, when the event's head
  // runs past `end`: more must be buffered. Its payload may lie beyond.
  bool read(const uint8_t* p, const uint8_t* end, Event& event);
  // The same for a channel message, with at least kLongestHead bytes buffered
  // from `p`, so that nothing need be checked against the buffer's end.
  // Returns false, changing nothing, for any other event.
  bool read_channel(const uint8_t* p, Event& event);

 private:
  uint8_t running_status_ = 0;  // the last status byte read; 0 before the first
};

// The reader runs once per event in every pass: it is defined here, where
// the passes can inline it.
namespace detail {

[[noreturn]] void fail_delta_time();
[[noreturn]] void fail_no_running_status();

}  // namespace detail

inline size_t read_vlq(const uint8_t* p, const uint8_t* end, uint32_t& value) {
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
  detail::fail_delta_time();
}

inline bool EventReader::read(const uint8_t* p, const uint8_t* end, Event& event) {
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
    if (running_status_ == 0) detail::fail_no_running_status();
    e.status = running_status_;
  }
  switch (class_of(e.status)) {
    case StatusClass::kChannel: {
      const size_t count = channel_data_bytes(e.status);
      if (static_cast<size_t>(end - p) < count) return false;
      e.data[0] = p[0];
      if (count == 2) e.data[1] = p[1];
      p += count;
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
  running_status_ = e.status;
  event = e;
  return true;
}

inline bool EventReader::read_channel(const uint8_t* p, Event& event) {
  uint32_t delta = p[0];
  size_t delta_size = 1;
  if (delta & 0x80) delta_size = read_vlq(p, p + kLongestHead, delta);
  const uint8_t* q = p + delta_size;
  const bool running = !(*q & kStatusBit);
  uint8_t status = *q;
  if (running) {
    if (running_status_ == 0) detail::fail_no_running_status();
    status = running_status_;
  } else {
    ++q;
  }
  if (status >= kSysEx) return false;
  // Field by field into `event`: a whole Event built aside costs a copy.
  const size_t count = channel_data_bytes(status);
  event.delta = delta;
  event.status = status;
  event.running = running;
  event.data[0] = q[0];
  event.data[1] = count == 2 ? q[1] : 0;
  event.delta_size = static_cast<uint8_t>(delta_size);
  event.head_size = static_cast<uint8_t>(q + count - p);
  event.length = 0;
  running_status_ = status;
  return true;
}

}  // namespace retune::smf
