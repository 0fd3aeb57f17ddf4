#include "smf/smf_walk.h"

#include <algorithm>
#include <cstring>

namespace retune::smf {

using io::ByteReader;
using io::ByteWriter;
using io::fail;

const Messages kPass1Messages = {
    "MIDI track header incorrect\n",
    "MIDI track header size incorrect\n",
    "Too many tracks in MIDI file, maximum is %d\n",
    "MIDI track chunk header incorrect in track %d\n",
    "No running MIDI command defined\n",
};

const Messages kPass2Messages = {
    "pass 2: MIDI track header incorrect\n",
    "pass 2: MIDI track header size incorrect\n",
    "pass 2:Too many tracks in MIDI file, maximum is %d\n",
    "pass2: MIDI track chunk header incorrect in track %d\n",
    "pass 2:  No running MIDI command defined\n",
};

namespace {

// Data bytes of a channel message, by the status's high nibble; the system
// statuses (high nibble F) are handled on their own.
constexpr uint8_t kDataBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};

// System real-time statuses stand alone: no data byte follows.
constexpr bool is_real_time(uint8_t status) {
  return status == 0xF8 || status == 0xFA || status == 0xFB || status == 0xFC;
}

uint8_t copy_byte(ByteReader& in, ByteWriter& out, GrammarState& state) {
  const uint8_t byte = io::getb(in);
  io::putb(byte, out);
  ++state.bytes_read;
  return byte;
}

void copy_bytes(ByteReader& in, ByteWriter& out, GrammarState& state, uint64_t count) {
  in.copy_to(out, count);
  state.bytes_read += static_cast<int64_t>(count);
}

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

void copy_sysex(uint8_t first, ByteReader& in, ByteWriter& out, GrammarState& state, Pass& pass) {
  const uint32_t length = copy_vlq(first, in, out, state);
  uint8_t head[kSysExHeadSize];
  const uint32_t head_size = std::min(length, kSysExHeadSize);
  for (uint32_t i = 0; i < head_size; ++i) head[i] = copy_byte(in, out, state);
  copy_bytes(in, out, state, length - head_size);
  pass.after_sysex(head, head_size, length, state, out);
}

}  // namespace

uint32_t copy_vlq(uint8_t byte, ByteReader& in, ByteWriter& out, GrammarState& state) {
  uint32_t value = byte & 0x7F;
  for (int count = 1; byte & 0x80; ++count) {
    if (count == 4) fail(io::kExitBadEvent, "%s", kDeltaTimeMessage);
    byte = copy_byte(in, out, state);
    value = (value << 7) | (byte & 0x7F);
  }
  return value;
}

void walk_event(ByteReader& in, ByteWriter& out, GrammarState& state, Pass& pass) {
  copy_vlq(copy_byte(in, out, state), in, out, state);  // delta time

  const uint8_t byte = io::getb(in);
  ++state.bytes_read;
  if (byte & kStatusBit) {
    state.command = state.old_command = byte;
    state.running_midi = false;
    state.command_found_before = true;
  } else {
    state.running_midi = true;
    if (!state.command_found_before) fail(io::kExitBadEvent, "%s", pass.messages.no_running_status);
    state.command = state.old_command;
  }
  pass.at_status(state, out);
  io::putb(byte, out);

  const uint8_t command = state.command;
  if (is_real_time(command)) return;
  const uint8_t first = state.running_midi ? byte : copy_byte(in, out, state);

  if (command == kMetaEvent) {
    copy_bytes(in, out, state, copy_vlq(copy_byte(in, out, state), in, out, state));
  } else if (command == kSysEx || command == kSysExEscape) {
    copy_sysex(first, in, out, state, pass);
  } else if (kDataBytes[command >> 4] == 2) {
    copy_byte(in, out, state);
    if (kind_of(command) == kNoteOn) pass.after_note_on(first, state, out);
  }
  // Everything else (program change, channel pressure, the remaining system
  // statuses) has its one data byte already.
}

void walk_file(ByteReader& in, ByteWriter& out, GrammarState& state, Pass& pass) {
  const int ntracks = copy_header_chunk(in, out, pass.messages);
  for (int track = 0; track < ntracks; ++track) {
    if (!copy_chunk_type(in, out, kTrackChunk)) fail(io::kExitBadChunk, pass.messages.track_header, track);
    const int64_t tracksize = pass.copy_track_length(track, in, out);
    state.bytes_read = 0;
    pass.begin_track(track, out);
    while (state.bytes_read < tracksize) walk_event(in, out, state, pass);
    pass.end_track(track, state);
  }
}

}  // namespace retune::smf
