#include "retune/retune.h"

#include <optional>

namespace retune {

using io::ByteReader;
using io::ByteWriter;
using io::putb;

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

constexpr uint32_t kLongestReset = 10;

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

// Pass 1: copies the input event by event and inserts what the method asks
// for: bends after note-ons, bend-range settings, tuning messages, and the
// status bytes that running status needs again after an insertion.
class Insertion {
 public:
  Insertion(const Tuning& cent, const Method& method, ByteWriter& out) : cent_(cent), method_(method), out_(out) {
    for (int pitch_class = 0; pitch_class < kPitchClasses; ++pitch_class)
      getPitch(bends_[pitch_class][0], bends_[pitch_class][1], pitch_class, cent, method.bend_range);
  }

  void copy_file(ByteReader& in, TrackLengths& track_bytes) {
    const int ntracks = smf::copy_header_chunk(in, out_, smf::kPass1Messages);
    for (int track = 0; track < ntracks; ++track) {
      smf::copy_track_type(track, in, out_, smf::kPass1Messages);
      const uint32_t length = io::getint(in);
      io::putint(length, out_);
      inserted_ = 0;
      if (track == 0) begin_file();
      // A length of 2^31 or more counts as negative: nothing to walk.
      const int64_t walked = copy_events(in, static_cast<int32_t>(length));
      track_bytes[track] = checked_length(track, walked + inserted_);
    }
  }

  const Counts& counts() const { return counts_; }

 private:
  // Copies events until `tracksize` bytes are read; returns how many were.
  int64_t copy_events(ByteReader& in, int64_t tracksize) {
    int64_t walked = 0;
    while (walked < tracksize) {
      smf::Event event;
      if (!reader_.read(in.data(), in.end(), event)) {
        in.fill(smf::kLongestHead);
        if (!reader_.read(in.data(), in.end(), event)) throw io::Failure(io::kExitIoError, io::kEndOfInputMessage);
      }
      copy_head(in, event);
      if (event.length > 0)
        copy_payload(in, event);
      else if (smf::kind_of(event.status) == smf::kNoteOn)
        after_note_on(event);
      walked += static_cast<int64_t>(event.size());
    }
    return walked;
  }

  // After an inserted event, a player would take a running-status event as
  // data of the inserted one: its status is restated after its delta time.
  void copy_head(ByteReader& in, const smf::Event& event) {
    const uint8_t* head = in.data();
    if (restate_status_ && event.running) {
      out_.write(head, event.delta_size);
      insert({event.status});
      out_.write(head + event.delta_size, event.head_size - event.delta_size);
    } else {
      out_.write(head, event.head_size);
    }
    restate_status_ = false;
    in.skip(event.head_size);
  }

  void copy_payload(ByteReader& in, const smf::Event& event) {
    const bool may_be_reset = method_.mts && event.status == smf::kSysEx && event.length <= kLongestReset;
    if (may_be_reset && in.fill(event.length) && is_reset(in.data(), event.length)) {
      in.copy_to(out_, event.length);
      insert_tuning_message();
      return;
    }
    in.copy_to(out_, event.length);
  }

  void begin_file() {
    if (method_.declare_bend_range) insert_bend_range();
    if (method_.mts) insert_tuning_message();
  }

  void after_note_on(const smf::Event& event) {
    const uint8_t channel = smf::channel_of(event.status);
    if (method_.mts || method_.skips(channel)) return;
    const uint8_t* bend = bends_[event.data[0] % kPitchClasses];  // getPitch, worked out once per class
    insert({0x00, static_cast<uint8_t>(smf::kPitchBend | channel), bend[0], bend[1]});
    ++counts_.bends;
  }

  static int64_t checked_length(int track, int64_t length) {
    if (length > kMaxTrackLength)
      io::fail(io::kExitBadTracks, "MIDI track %d too long after retuning, maximum is %u bytes\n", track,
               kMaxTrackLength);
    return length;
  }

  void insert(std::initializer_list<uint8_t> bytes) {
    out_.write(bytes.begin(), bytes.size());
    inserted_ += static_cast<int64_t>(bytes.size());
    restate_status_ = true;
  }

  void insert_bend_range() {
    const auto range = static_cast<uint8_t>(method_.bend_range);
    for (uint8_t channel = 0; channel < 16; ++channel) {
      if (method_.skips(channel)) continue;
      const auto status = static_cast<uint8_t>(smf::kController | channel);
      // Select registered parameter 0 (bend range), set it, deselect.
      for (auto [controller, value] : {std::pair<uint8_t, uint8_t>{0x65, 0x00}, {0x64, 0x00}, {0x06, range},
                                       {0x26, 0x00}, {0x65, 0x7F}, {0x64, 0x7F}})
        insert({0x00, status, controller, value});
    }
  }

  void insert_tuning_message() {
    uint32_t mask = 0;  // bit n: channel n
    for (int channel = 0; channel < 16; ++channel)
      if (!method_.skips(channel)) mask |= 1u << channel;
    insert({0x00, smf::kSysEx, kMtsLength});
    insert({kMtsHeader[0], kMtsHeader[1], kMtsHeader[2], kMtsHeader[3]});
    insert({static_cast<uint8_t>(mask >> 14), static_cast<uint8_t>((mask >> 7) & 0x7F),
            static_cast<uint8_t>(mask & 0x7F)});
    for (double cents : cent_) {
      const int value = bend_value(cents, 1);
      insert({static_cast<uint8_t>(value >> 7), static_cast<uint8_t>(value & 0x7F)});
    }
    insert({0xF7});
    ++counts_.tuning_messages;
  }

  const Tuning& cent_;
  const Method& method_;
  ByteWriter& out_;
  smf::EventReader reader_;
  uint8_t bends_[kPitchClasses][2];
  Counts counts_;
  int64_t inserted_ = 0;
  bool restate_status_ = false;
};

}  // namespace

Counts pass1(ByteReader& fpi, ByteWriter& fptmp, TrackLengths& track_bytes, const Tuning& cent, const Method& method) {
  Insertion pass(cent, method, fptmp);
  pass.copy_file(fpi, track_bytes);
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

Counts run_passes(io::ByteSource& input, Scratch& scratch, io::ByteSink& output, const Tuning& cent,
                  const Method& method) {
  TrackLengths track_bytes{};
  ByteReader fpi(input);
  ByteWriter fptmp(scratch.sink());
  const Counts counts = pass1(fpi, fptmp, track_bytes, cent, method);
  fptmp.flush();

  ByteReader scratch_reader(scratch.reread());
  ByteWriter fpo(output);
  try {
    pass2(scratch_reader, fpo, track_bytes);
  } catch (const io::Failure&) {
    // What was written reaches a destination that is written directly.
    try {
      fpo.flush();
    } catch (const io::Failure&) {
    }
    throw;
  }
  fpo.flush();
  return counts;
}

namespace {

class MemoryScratch final : public Scratch {
 public:
  io::ByteSink& sink() override { return sink_; }
  io::ByteSource& reread() override {
    source_.emplace(sink_.bytes());
    return *source_;
  }

 private:
  io::MemorySink sink_;
  std::optional<io::MemorySource> source_;
};

}  // namespace

std::string retune_bytes(std::string_view input, const Tuning& cent, const Method& method, Counts* counts) {
  io::MemorySource source(input);
  MemoryScratch scratch;
  io::MemorySink output;
  const Counts made = run_passes(source, scratch, output, cent, method);
  if (counts) *counts = made;
  return output.bytes();
}

}  // namespace retune
