#include "retune/retune.h"

namespace retune {

using io::ByteReader;
using io::ByteWriter;
using io::putb;
using smf::GrammarState;

namespace {

inline constexpr uint32_t kMaxTrackLength = 0xFFFFFFFF;

// MIDI Tuning Standard scale/octave tuning, 2-byte form, real time, all
// devices; the channel mask and the twelve values follow.
constexpr uint8_t kMtsHeader[] = {0x7F, 0x7F, 0x08, 0x09};
constexpr uint32_t kMtsLength = sizeof kMtsHeader + 3 + 2 * kPitchClasses + 1;

// Sysex bodies (the bytes after the length) that reset a synthesizer's
// tuning; kAny matches any device byte, kAnyLow any low nibble.
constexpr int kAny = -1;
constexpr int kAnyLow = -2;
struct ResetPattern {
  int bytes[10];
  uint32_t size;
};
constexpr ResetPattern kResets[] = {
    {{0x7E, kAny, 0x09, 0x01, 0xF7}, 5},                                // GM System On
    {{0x7E, kAny, 0x09, 0x03, 0xF7}, 5},                                // GM2 System On
    {{0x41, kAny, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, 10},  // GS reset
    {{0x43, kAnyLow, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, 8},           // XG System On
};

bool matches(const ResetPattern& pattern, const uint8_t* body, uint32_t size) {
  if (size != pattern.size) return false;
  for (uint32_t i = 0; i < size; ++i) {
    const int want = pattern.bytes[i];
    if (want == kAnyLow ? (body[i] & 0xF0) != 0x10 : want != kAny && body[i] != want) return false;
  }
  return true;
}

bool is_reset(const uint8_t* body, uint32_t size) {
  for (const ResetPattern& pattern : kResets)
    if (matches(pattern, body, size)) return true;
  return false;
}

class InsertBends final : public smf::Pass {
 public:
  InsertBends(const Tuning& cent, const Method& method, TrackLengths& track_bytes)
      : Pass(smf::kPass1Messages), cent_(cent), method_(method), track_bytes_(track_bytes) {
    for (int pitch_class = 0; pitch_class < kPitchClasses; ++pitch_class)
      getPitch(bends_[pitch_class][0], bends_[pitch_class][1], pitch_class, cent, method.bend_range);
  }

  int64_t copy_track_length(int, ByteReader& in, ByteWriter& out) {
    const uint32_t length = io::getint(in);
    io::putint(length, out);
    return static_cast<int32_t>(length);  // 2^31 and more: nothing to walk
  }

  void begin_track(int track, ByteWriter& out) {
    inserted_ = 0;
    if (track != 0) return;
    if (method_.declare_bend_range) insert_bend_range(out);
    if (method_.mts) insert_tuning_message(out);
  }

  // After an inserted event, a player would take a running-status event as
  // data of the inserted one: restate its status.
  void at_status(const GrammarState& state, ByteWriter& out) {
    if (restate_status_ && state.running_midi) insert({state.command}, out);
    restate_status_ = false;
  }

  void after_note_on(uint8_t note, const GrammarState& state, ByteWriter& out) {
    const uint8_t channel = smf::channel_of(state.command);
    if (method_.mts || method_.skips(channel)) return;
    const uint8_t* bend = bends_[note % kPitchClasses];  // getPitch, worked out once per class
    insert({0x00, static_cast<uint8_t>(smf::kPitchBend | channel), bend[0], bend[1]}, out);
    ++counts_.bends;
  }

  void after_sysex(const uint8_t* head, uint32_t head_size, uint32_t length, const GrammarState& state,
                   ByteWriter& out) {
    if (method_.mts && state.command == smf::kSysEx && head_size == length && is_reset(head, length))
      insert_tuning_message(out);
  }

  void end_track(int track, const GrammarState& state) {
    const int64_t length = state.bytes_read + inserted_;
    if (length > kMaxTrackLength)
      io::fail(io::kExitBadEvent, "MIDI track %d too long after retuning, maximum is %u bytes\n", track,
               kMaxTrackLength);
    track_bytes_[track] = length;
  }

  const Counts& counts() const { return counts_; }

 private:
  void insert(std::initializer_list<uint8_t> bytes, ByteWriter& out) {
    for (uint8_t byte : bytes) putb(byte, out);
    inserted_ += static_cast<int64_t>(bytes.size());
    restate_status_ = true;
  }

  void insert_bend_range(ByteWriter& out) {
    const auto range = static_cast<uint8_t>(method_.bend_range);
    for (uint8_t channel = 0; channel < 16; ++channel) {
      if (method_.skips(channel)) continue;
      const auto status = static_cast<uint8_t>(smf::kController | channel);
      // Select registered parameter 0 (bend range), set it, deselect.
      for (auto [controller, value] : {std::pair<uint8_t, uint8_t>{0x65, 0x00}, {0x64, 0x00}, {0x06, range},
                                       {0x26, 0x00}, {0x65, 0x7F}, {0x64, 0x7F}})
        insert({0x00, status, controller, value}, out);
    }
  }

  void insert_tuning_message(ByteWriter& out) {
    uint32_t mask = 0;  // bit n: channel n
    for (int channel = 0; channel < 16; ++channel)
      if (!method_.skips(channel)) mask |= 1u << channel;
    insert({0x00, smf::kSysEx, kMtsLength}, out);
    insert({kMtsHeader[0], kMtsHeader[1], kMtsHeader[2], kMtsHeader[3]}, out);
    insert({static_cast<uint8_t>(mask >> 14), static_cast<uint8_t>((mask >> 7) & 0x7F),
            static_cast<uint8_t>(mask & 0x7F)},
           out);
    for (double cents : cent_) {
      const int value = bend_value(cents, 1);
      insert({static_cast<uint8_t>(value >> 7), static_cast<uint8_t>(value & 0x7F)}, out);
    }
    insert({0xF7}, out);
    ++counts_.tuning_messages;
  }

  const Tuning& cent_;
  const Method& method_;
  TrackLengths& track_bytes_;
  uint8_t bends_[kPitchClasses][2];
  Counts counts_;
  int64_t inserted_ = 0;
  bool restate_status_ = false;
};

}  // namespace

Counts pass1(ByteReader& fpi, ByteWriter& fptmp, TrackLengths& track_bytes, const Tuning& cent, const Method& method) {
  GrammarState state;
  InsertBends pass(cent, method, track_bytes);
  smf::walk_file(fpi, fptmp, state, pass);
  return pass.counts();
}

void pass2(ByteReader& fptmp, ByteWriter& fpo, const TrackLengths& track_bytes) {
  // The scratch file holds exactly what pass 1 wrote, event for event, so
  // walking its events again would only check pass 1's own work: each track
  // is copied as the block of bytes pass 1 counted.
  const smf::Messages& messages = smf::kPass2Messages;
  const int ntracks = smf::copy_header_chunk(fptmp, fpo, messages);
  for (int track = 0; track < ntracks; ++track) {
    smf::copy_track_type(track, fptmp, fpo, messages);
    io::getint(fptmp);  // the input's length, stale now
    io::putint(static_cast<uint32_t>(track_bytes[track]), fpo);
    fptmp.copy_to(fpo, static_cast<uint64_t>(track_bytes[track]));
  }
}

std::string retune_bytes(std::string_view input, const Tuning& cent, const Method& method, Counts* counts) {
  TrackLengths track_bytes{};
  io::MemorySource source(input);
  io::ByteReader fpi(source);
  io::MemorySink scratch;
  io::ByteWriter fptmp(scratch);
  const Counts made = pass1(fpi, fptmp, track_bytes, cent, method);
  fptmp.flush();
  io::MemorySource scratch_source(scratch.bytes());
  io::ByteReader scratch_reader(scratch_source);
  io::MemorySink output;
  io::ByteWriter fpo(output);
  pass2(scratch_reader, fpo, track_bytes);
  fpo.flush();
  if (counts) *counts = made;
  return output.bytes();
}

}  // namespace retune
