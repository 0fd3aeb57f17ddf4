// The event walk, a template over the pass. Included by smf_walk.h only.
#pragma once

#include <algorithm>

namespace retune::smf {

namespace walk_detail {

[[noreturn]] void fail_no_running_status();
[[noreturn]] void fail_delta_time();

// The longest event the unchecked walk reads or writes byte by byte: a 4-byte
// delta time, a status and two data bytes, in; and out, those plus what a
// pass inserts before the event's last byte (a restated status).
inline constexpr size_t kLongestShortEvent = 16;

template <bool kChecked>
uint8_t copy_byte(io::ByteReader& in, io::ByteWriter& out) {
  const uint8_t byte = kChecked ? io::getb(in) : in.get_unchecked();
  if (kChecked)
    io::putb(byte, out);
  else
    out.put_unchecked(byte);
  return byte;
}

}  // namespace walk_detail

template <bool kChecked>
uint32_t copy_vlq(uint8_t byte, io::ByteReader& in, io::ByteWriter& out) {
  uint32_t value = byte & 0x7F;
  for (int count = 1; byte & 0x80; ++count) {
    if (count == 4) walk_detail::fail_delta_time();
    byte = walk_detail::copy_byte<kChecked>(in, out);
    value = (value << 7) | (byte & 0x7F);
  }
  return value;
}

namespace walk_detail {

// Data bytes of a channel message, by the status's high nibble.
inline constexpr uint8_t kDataBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};

// System real-time statuses stand alone: no data byte follows.
constexpr bool is_real_time(uint8_t status) {
  return status >= 0xF8 && status <= 0xFC && status != 0xF9;
}

template <class P>
void copy_sysex(uint8_t first, io::ByteReader& in, io::ByteWriter& out, const GrammarState& state, P& pass) {
  const uint32_t length = copy_vlq(first, in, out);
  uint8_t head[kSysExHeadSize];
  const uint32_t head_size = std::min(length, kSysExHeadSize);
  for (uint32_t i = 0; i < head_size; ++i) head[i] = copy_byte<true>(in, out);
  in.copy_to(out, length - head_size);
  pass.after_sysex(head, head_size, length, state, out);
}

}  // namespace walk_detail

template <bool kChecked, class P>
void walk_event(io::ByteReader& in, io::ByteWriter& out, GrammarState& state, P& pass) {
  using namespace walk_detail;
  copy_vlq<kChecked>(copy_byte<kChecked>(in, out), in, out);  // delta time

  const uint8_t byte = kChecked ? io::getb(in) : in.get_unchecked();
  if (byte & kStatusBit) {
    state.command = state.old_command = byte;
    state.running_midi = false;
    state.command_found_before = true;
  } else {
    state.running_midi = true;
    if (!state.command_found_before) fail_no_running_status();
    state.command = state.old_command;
  }
  pass.at_status(state, out);
  io::putb(byte, out);

  const uint8_t command = state.command;
  if (is_real_time(command)) return;
  const uint8_t first = state.running_midi ? byte : copy_byte<kChecked>(in, out);
  if (command < kSysEx) {  // a channel message
    if (kDataBytes[command >> 4] == 2) {
      copy_byte<kChecked>(in, out);
      if (kind_of(command) == kNoteOn) pass.after_note_on(first, state, out);
    }
    return;
  }
  // Lengths and payloads are read checked: they are not bounded.
  if (command == kMetaEvent) {
    in.copy_to(out, copy_vlq(copy_byte<true>(in, out), in, out));  // first: the type
  } else if (command == kSysEx || command == kSysExEscape) {
    copy_sysex(first, in, out, state, pass);  // first: the length's first byte
  }
  // The remaining system statuses have their one data byte already.
}

template <class P>
void walk_file(io::ByteReader& in, io::ByteWriter& out, GrammarState& state, P& pass) {
  const int ntracks = copy_header_chunk(in, out, pass.messages);
  for (int track = 0; track < ntracks; ++track) {
    copy_track_type(track, in, out, pass.messages);
    const int64_t tracksize = pass.copy_track_length(track, in, out);
    const uint64_t start = in.position();
    state.bytes_read = 0;
    pass.begin_track(track, out);
    while (state.bytes_read < tracksize) {
      if (in.available() >= walk_detail::kLongestShortEvent && out.room() >= walk_detail::kLongestShortEvent)
        walk_event<false>(in, out, state, pass);
      else
        walk_event<true>(in, out, state, pass);
      state.bytes_read = static_cast<int64_t>(in.position() - start);
    }
    pass.end_track(track, state);
  }
}

}  // namespace retune::smf
