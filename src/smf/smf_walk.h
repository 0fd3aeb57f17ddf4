// Walking a Standard MIDI File: the chunk framing (one header chunk, then as
// many track chunks as it announces) and the event grammar inside a track.
// Every byte read is copied to the destination at once and counted; a pass
// adds what it must through the hooks of Pass.
#pragma once

#include <cstdint>

#include "io/byte_io.h"

namespace retune::smf {

inline constexpr char kHeaderChunk[] = "MThd";
inline constexpr char kTrackChunk[] = "MTrk";
inline constexpr uint32_t kHeaderLength = 6;
inline constexpr int kMaxTracks = 1024;

inline constexpr uint8_t kStatusBit = 0x80;
inline constexpr uint8_t kNoteOn = 0x90;
inline constexpr uint8_t kController = 0xB0;
inline constexpr uint8_t kPitchBend = 0xE0;
inline constexpr uint8_t kSysEx = 0xF0;
inline constexpr uint8_t kSysExEscape = 0xF7;
inline constexpr uint8_t kMetaEvent = 0xFF;

inline constexpr uint8_t kind_of(uint8_t status) { return status & 0xF0; }
inline constexpr uint8_t channel_of(uint8_t status) { return status & 0x0F; }

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

// The grammar's state. It lives as long as the walk: running status carries
// over from one track to the next.
struct GrammarState {
  uint8_t command = 0;      // the status governing the current event
  uint8_t old_command = 0;  // the last status byte read
  bool running_midi = false;
  bool command_found_before = false;
  int64_t bytes_read = 0;   // bytes of the current track read so far, as of the last event
};

inline constexpr uint32_t kSysExHeadSize = 16;

// How one pass differs from the plain copy. A pass derives from Pass and
// redefines the hooks it needs; the walk is a template over the pass, so the
// hooks cost nothing where a pass has none. Every pass defines one more:
// copy_track_length(track, in, out) reads a track's length field, writes what
// replaces it, and returns how many event bytes to walk (none below 1).
struct Pass {
  explicit Pass(const Messages& messages) : messages(messages) {}

  void begin_track(int /*track*/, io::ByteWriter& /*out*/) {}
  // Called once an event's status is known, before its first byte after the
  // delta time is written.
  void at_status(const GrammarState& /*state*/, io::ByteWriter& /*out*/) {}
  // Called once a note-on's velocity has been copied.
  void after_note_on(uint8_t /*note*/, const GrammarState& /*state*/, io::ByteWriter& /*out*/) {}
  // Called once a system-exclusive event has been copied; `head` holds its
  // first `head_size` bytes after the length: all of them when there are no
  // more than kSysExHeadSize.
  void after_sysex(const uint8_t* /*head*/, uint32_t /*head_size*/, uint32_t /*length*/,
                   const GrammarState& /*state*/, io::ByteWriter& /*out*/) {}
  void end_track(int /*track*/, const GrammarState& /*state*/) {}

  const Messages& messages;
};

// The whole file: header chunk, then every announced track. Bytes after the
// last track are neither read nor copied.
template <class P>
void walk_file(io::ByteReader& in, io::ByteWriter& out, GrammarState& state, P& pass);

// One event: delta time, status or running status, then the data bytes the
// governing status calls for. Unchecked, it reads and writes the bytes of a
// channel event without testing the buffers, which must hold them.
template <bool kChecked, class P>
void walk_event(io::ByteReader& in, io::ByteWriter& out, GrammarState& state, P& pass);

// Copies and checks the header chunk; returns the number of tracks.
int copy_header_chunk(io::ByteReader& in, io::ByteWriter& out, const Messages& messages);

// Copies a track chunk's type; a wrong one is a failure.
void copy_track_type(int track, io::ByteReader& in, io::ByteWriter& out, const Messages& messages);

// Copies the rest of a variable-length quantity (at most 4 bytes) whose first
// byte, `byte`, has already been copied; returns its value.
template <bool kChecked = true>
uint32_t copy_vlq(uint8_t byte, io::ByteReader& in, io::ByteWriter& out);

}  // namespace retune::smf

#include "smf/smf_walk_impl.h"
