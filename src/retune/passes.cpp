#include "retune/passes.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstring>
#include <optional>

#include "retune/messages.h"
#include "retune/pitch.h"
#include "smf/sysex.h"

namespace retune {

using io::ByteReader;
using io::ByteWriter;

namespace {

// Pass 1: copies the input event by event and inserts what the method asks
// for: bends after note-ons, the method's setup of the synthesizer (bend
// ranges, tuning messages) at the start and after every reset, and the
// status bytes that running status needs again after an insertion.
class Insertion {
 public:
  Insertion(const KeyTable& table, const Method& method, ByteWriter& out) : method_(method), out_(out) {
    if (method.bends()) {
      for (int byte = 0; byte < 256; ++byte) {
        played_[byte] = play_key(table, byte, method.bend_range);
        moves_keys_ = moves_keys_ || played_[byte].key != byte;
        const uint8_t bend[4] = {0x00, smf::kPitchBend, played_[byte].lsb, played_[byte].msb};
        std::memcpy(bend_after_[byte], bend, sizeof bend);
      }
    }
    beyond_ = out_of_reach(table, method).beyond;
    tuned_channels_ = static_cast<uint16_t>(beyond_.any() ? ~method.skipped_channels : 0);
    bent_channels_ = method.bends() ? static_cast<uint16_t>(~method.skipped_channels) : 0;
    if (method.declare_bend_range) setup_ = bend_range_setting(method);
    if (method.mts) {
      setup_ = scale_octave_tuning(twelve_offsets(table), method);
      setup_messages_ = 1;
    }
    if (method.tunes_keys()) {
      setup_ = method.mts_keys ? single_note_tuning(table) : sysex_event(bulk_tuning_dump(table));
      const Bytes selection = tuning_program_selection(method);
      setup_.insert(setup_.end(), selection.begin(), selection.end());
      setup_messages_ = method.mts_keys ? 2 : 1;
    }
  }

  void copy_file(ByteReader& in, Layout& layout) {
    const smf::Header header = smf::copy_header_chunk(in, out_, smf::kPass1Messages);
    for (int track = 0; track < header.ntracks;) {
      if (smf::copy_chunk_type(track, in, out_, smf::kPass1Messages) == smf::Chunk::kAlien) {
        layout.alien_bytes[track] += smf::copy_alien_chunk(in, out_);
        continue;
      }
      const uint32_t length = io::getint(in);
      layout.length_at[track] = out_.position();
      io::putint(length, out_);
      inserted_ = 0;
      // Each track of a format 2 file is a sequence of its own.
      setup_pending_ = !setup_.empty() && (track == 0 || header.format == smf::kIndependentTracks);
      sysex_ = {};
      // A length of 2^31 or more counts as negative: nothing to walk.
      const int64_t walked = copy_events(in, static_cast<int32_t>(length));
      if (setup_pending_) insert_setup();
      layout.track_bytes[track] = smf::checked_track_length(track, static_cast<uint64_t>(walked + inserted_));
      layout.tracks = ++track;
    }
    layout.tail = smf::copy_rest(in, out_);
  }

  const Counts& counts() const { return counts_; }

 private:
  // Copies events until `tracksize` bytes are read; returns how many were.
  int64_t copy_events(ByteReader& in, int64_t tracksize) {
    int64_t walked = 0;
    while (walked < tracksize) {
      if (!setup_pending_ && !moves_keys_) {
        walked = copy_channel_messages(in, walked, tracksize);
        if (walked >= tracksize) break;
      }
      const smf::Event event = next_event(in);
      if (setup_pending_ && !may_precede_setup(event)) insert_setup();
      copy_head(in, event);
      if (event.status >= smf::kSysEx)
        copy_payload(in, event);
      else if (smf::kind_of(event.status) == smf::kNoteOn)
        after_note_on(event);
      walked += static_cast<int64_t>(event.size());
    }
    return walked;
  }

  // The bulk of most tracks, channel messages, over local pointers while the
  // input buffer holds a whole head and the output buffer has room for it,
  // a restated status and a bend. It stops at any other event, which the
  // general loop takes. Returns `walked` with the bytes it read added.
  int64_t copy_channel_messages(ByteReader& in, int64_t walked, int64_t tracksize) {
    constexpr size_t kLongestMessage = 4 + 1 + 2;  // a delta time, a status, two data bytes
    constexpr size_t kMostWritten = 8 + 1 + 4;     // a head copied 8 bytes at once, a status, a bend
    const uint8_t* p = in.data();
    if (in.end() - p < static_cast<ptrdiff_t>(smf::kLongestHead)) return walked;
    // The loop stops before the track's end or the last whole head buffered, whichever comes first.
    const uint8_t* const track_end = p + (tracksize - walked);
    const uint8_t* const stop = std::min(in.end() - smf::kLongestHead + 1, track_end);
    uint8_t* o = out_.room(kMostWritten);
    uint8_t* const o_start = o;
    uint8_t* const o_last = const_cast<uint8_t*>(out_.limit()) - kMostWritten;
    // Bytes stored through `o` might be any object of this pass for all the
    // compiler knows: what the loop changes is kept in locals, stored once.
    smf::EventReader reader = reader_;
    bool restate = restate_status_;
    uint64_t bends = 0;
    const uint16_t bent_channels = bent_channels_;
    const uint8_t* const start = p;
    smf::Event e;
    // A message reads at most kLongestMessage bytes and writes at most
    // kMostWritten: so many may follow one another without a check of either end.
    for (bool channel_messages = true; channel_messages && p < stop && o <= o_last;) {
      size_t n = std::min((static_cast<size_t>(stop - p) + kLongestMessage - 1) / kLongestMessage,
                          static_cast<size_t>(o_last - o) / kMostWritten + 1);
      for (; n > 0; --n) {
        if (!reader.read_channel(p, e)) {
          channel_messages = false;
          break;
        }
        if (restate && e.running) {
          std::memcpy(o, p, 4);
          o += e.delta_size;
          *o++ = e.status;
          std::memcpy(o, p + e.delta_size, 2);
          o += e.head_size - e.delta_size;
        } else {
          std::memcpy(o, p, 8);
          o += e.head_size;
        }
        restate = false;
        p += e.head_size;
        const uint8_t channel = smf::channel_of(e.status);
        if (smf::kind_of(e.status) == smf::kNoteOn && (bent_channels >> channel & 1)) {
          write_bend(o, e.data[0], channel);
          o += 4;
          restate = true;
          ++bends;
        }
      }
    }
    reader_ = reader;
    restate_status_ = restate;
    // What was written beyond what was read: the restated statuses and the bends.
    inserted_ += (o - o_start) - (p - start);
    counts_.bends += bends;
    in.skip(static_cast<size_t>(p - start));
    out_.advance_to(o);
    return walked + (p - start);
  }

  smf::Event next_event(ByteReader& in) {
    smf::Event event;
    if (!reader_.read(in.data(), in.end(), event)) {
      in.fill(smf::kLongestHead);
      if (!reader_.read(in.data(), in.end(), event)) throw io::Failure(io::kExitIoError, io::kEndOfInputMessage);
    }
    return event;
  }

  // The setup waits for the resets a file may start with, since a reset
  // would undo it: past the meta and system-exclusive events at its first
  // tick, but not past the end of the track; and never between the packets
  // of a system-exclusive message. The scale/octave tuning message has
  // always led the file, and still does.
  bool may_precede_setup(const smf::Event& event) const {
    if (method_.mts) return false;
    if (smf::is_sysex(event.status)) return event.delta == 0 || sysex_.in_message();
    return event.delta == 0 && event.status == smf::kMetaEvent && event.data[0] != smf::kEndOfTrack;
  }

  // After an inserted event, a player would take a running-status event as
  // data of the inserted one: its status is restated after its delta time.
  // A note played on another key has its key byte replaced.
  void copy_head(ByteReader& in, const smf::Event& event) {
    const uint8_t* head = in.data();
    const bool restate = restate_status_ && event.running;
    const bool moved = moves_keys_ && plays_key(event) && played_[event.data[0]].key != event.data[0];
    if (moved && smf::kind_of(event.status) == smf::kNoteOn && event.data[1] > 0) ++counts_.moved_notes;
    if (!restate && !moved) {
      out_.write(head, event.head_size);
    } else {
      out_.write(head, event.delta_size);
      if (restate) insert({event.status});
      // The key and the byte after it end the head.
      const size_t rest = moved ? event.head_size - 2u : event.head_size;
      out_.write(head + event.delta_size, rest - event.delta_size);
      if (moved) {
        out_.put(played_[event.data[0]].key);
        out_.put(event.data[1]);
      }
    }
    restate_status_ = false;
    in.skip(event.head_size);
  }

  // Note-on, note-off and polyphonic pressure: the events that name a key.
  bool plays_key(const smf::Event& event) const {
    const uint8_t kind = smf::kind_of(event.status);
    return (kind == smf::kNoteOn || kind == smf::kNoteOff || kind == smf::kPolyPressure) &&
           bends(smf::channel_of(event.status));
  }

  bool bends(uint8_t channel) const { return (bent_channels_ >> channel) & 1; }

  // The payload of a meta or system-exclusive event is copied; where the
  // method has a setup, it follows every reset.
  void copy_payload(ByteReader& in, const smf::Event& event) {
    const bool reset = !setup_.empty() && smf::is_sysex(event.status) && in.fill(smf::SysExJoiner::needs(event)) &&
                       sysex_.take(event, in.data()) && smf::is_reset(sysex_.message());
    in.copy_to(out_, event.length);
    if (reset) insert_setup();
  }

  void after_note_on(const smf::Event& event) {
    const uint8_t channel = smf::channel_of(event.status);
    if ((tuned_channels_ >> channel & 1) && event.data[1] > 0 && event.data[0] < kKeys && beyond_[event.data[0]])
      ++counts_.unreachable_notes;
    if (!bends(channel)) return;
    uint8_t bend[4];
    write_bend(bend, event.data[0], channel);
    insert(bend);
    ++counts_.bends;
  }

  // The bend that follows a note-on of `key` on `channel`, at delta time 0: 4 bytes at `out`.
  void write_bend(uint8_t* out, uint8_t key, uint8_t channel) const {
    std::memcpy(out, bend_after_[key], 4);
    out[1] |= channel;
  }

  // The offsets of the scale/octave tuning message.
  static Tuning twelve_offsets(const KeyTable& table) {
    const std::optional<Tuning> cent = table.pitch_classes();
    if (!cent || std::any_of(cent->begin(), cent->end(), [](double c) { return !(std::fabs(c) <= 100); }))
      io::fail(io::kExitBadArguments,
               "--mts tunes the twelve pitch classes alike in every octave, within 100 cents either way; "
               "for this tuning use --mts=keys\n");
    return *cent;
  }

  void insert(std::span<const uint8_t> bytes) {
    out_.write(bytes.data(), bytes.size());
    inserted_ += static_cast<int64_t>(bytes.size());
    restate_status_ = true;
  }
  void insert(std::initializer_list<uint8_t> bytes) { insert(std::span(bytes.begin(), bytes.size())); }

  void insert_setup() {
    insert(setup_);
    counts_.tuning_messages += setup_messages_;
    setup_pending_ = false;
  }

  const Method& method_;
  ByteWriter& out_;
  smf::EventReader reader_;
  smf::SysExJoiner sysex_;
  PlayedKey played_[256] = {};  // by key byte: getPitch and the key, worked out once
  uint8_t bend_after_[256][4] = {};  // by key byte: the bend after its note-on on channel 1
  bool moves_keys_ = false;
  uint16_t bent_channels_ = 0;  // bit n: channel n gets bends
  std::bitset<kKeys> beyond_;    // keys the method cannot sound at their pitch
  uint16_t tuned_channels_ = 0;  // bit n: channel n plays such keys, to be counted
  Bytes setup_;            // what the method sets on the synthesizer
  int setup_messages_ = 0;  // tuning messages in it
  Counts counts_;
  int64_t inserted_ = 0;
  bool setup_pending_ = false;
  bool restate_status_ = false;
};

}  // namespace

Counts pass1(ByteReader& fpi, ByteWriter& fptmp, Layout& layout, const KeyTable& table, const Method& method) {
  Insertion pass(table, method, fptmp);
  pass.copy_file(fpi, layout);
  return pass.counts();
}

void pass2(ByteReader& fptmp, ByteWriter& fpo, const Layout& layout) {
  // The scratch file holds exactly what pass 1 wrote, event for event, so
  // walking its events again would only check pass 1's own work: each track
  // is copied as the block of bytes pass 1 counted.
  const smf::Messages& messages = smf::kPass2Messages;
  const int ntracks = smf::copy_header_chunk(fptmp, fpo, messages).ntracks;
  for (int track = 0; track < ntracks; ++track) {
    fptmp.copy_to(fpo, layout.alien_bytes[track]);
    smf::copy_track_type(track, fptmp, fpo, messages);
    io::getint(fptmp);  // the input's length, stale now
    io::putint(static_cast<uint32_t>(layout.track_bytes[track]), fpo);
    fptmp.copy_to(fpo, static_cast<uint64_t>(layout.track_bytes[track]));
  }
  fptmp.copy_to(fpo, layout.tail);
}

Counts run_passes(io::ByteSource& input, Scratch& scratch, io::ByteSink& output, const KeyTable& table,
                  const Method& method) {
  Layout layout;
  ByteReader fpi(input);
  if (output.can_patch()) {
    ByteWriter fpo(output);
    const Counts counts = pass1(fpi, fpo, layout, table, method);
    for (int track = 0; track < layout.tracks; ++track) {
      const auto length = static_cast<uint32_t>(layout.track_bytes[track]);
      const uint8_t field[4] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
      if (!fpo.patch(layout.length_at[track], field, sizeof field))
        throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
    }
    fpo.flush();
    return counts;
  }
  ByteWriter fptmp(scratch.sink());
  const Counts counts = pass1(fpi, fptmp, layout, table, method);
  fptmp.flush();

  ByteReader scratch_reader(scratch.reread());
  ByteWriter fpo(output);
  try {
    pass2(scratch_reader, fpo, layout);
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

std::string retune_bytes(std::string_view input, const KeyTable& table, const Method& method, Counts* counts) {
  io::MemorySource source(input);
  MemoryScratch scratch;
  io::MemorySink output;
  const Counts made = run_passes(source, scratch, output, table, method);
  if (counts) *counts = made;
  return output.bytes();
}

}  // namespace retune
