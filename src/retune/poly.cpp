#include "retune/poly.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <vector>

#include "retune/messages.h"
#include "channel/parameters.h"
#include "smf/controllers.h"
#include "smf/smf_file.h"
#include "smf/sysex.h"

namespace retune {

namespace {

using smf::TimedEvent;
using smf::TrackWriter;
using namespace smf::gm;

constexpr uint8_t kNone = 0xFF;

// Controllers that hold a setting of their own. Bank select and the parameter
// numbers are settings too, but are carried over in their own order; data
// entry and increments act on the selected parameter; 120 and up are the
// channel mode messages.
bool is_plain_setting(uint8_t controller) {
  switch (controller) {
    case kBankSelect:
    case kBankSelectLsb:
    case kDataEntry:
    case kDataEntryLsb:
    case kDataIncrement:
    case kDataDecrement:
    case kNrpnLsb:
    case kNrpnMsb:
    case kRpnLsb:
    case kRpnMsb:
      return false;
    default:
      return controller < kFirstModeMessage;
  }
}

bool is_data_entry(uint8_t controller) {
  return controller == kDataEntry || controller == kDataEntryLsb || controller == kDataIncrement ||
         controller == kDataDecrement;
}

// What a channel's bend range is taken to be where the user's must be declared
// all the same.
constexpr Range kUnknownRange = {kNullParameter, kNullParameter};

// A channel's settings as a synthesizer keeps them, from its defaults on.
struct ChannelState {
  std::array<uint8_t, 128> controllers{};
  uint8_t program = 0;
  uint8_t pressure = 0;
  Selection selection;
  Range range;
  int bend = kBendCentre;

  ChannelState() {
    controllers[kVolume] = 100;
    controllers[kBalance] = 64;
    controllers[kPan] = 64;
    controllers[kExpression] = 127;
  }

  // What "reset all controllers" puts back, by General MIDI's rules.
  void reset_controllers() {
    controllers[kModulation] = 0;
    controllers[kExpression] = 127;
    for (uint8_t pedal = kSustain; pedal <= kSoftPedal; ++pedal) controllers[pedal] = 0;
    selection = Selection{};
    pressure = 0;
    bend = kBendCentre;
  }

  void set_controller(uint8_t controller, uint8_t value) {
    if (controller == kResetAllControllers) return reset_controllers();
    if (controller >= kFirstModeMessage) return;
    range.enter(selection, controller, value);
    selection.select(controller, value);
    controllers[controller] = value;
  }

  bool pedal_down() const { return controllers[kSustain] >= kPedalDown; }
};

struct Note {
  uint8_t out;     // its output channel, kNone when it was left out
  uint8_t played;  // the key it is played on there
  bool released;   // its note-off came, the pedal holds it
};

struct Source {
  ChannelState state;
  std::array<std::vector<Note>, 128> notes;  // per key, first on first off
  uint64_t held = 0;                         // released notes the pedal holds
};

struct Output {
  bool usable = false;
  uint8_t carrier = kNone;  // the source channel whose messages it gets
  int sounding = 0;
  double offset = 0;        // what its notes are tuned by, while any sound
  int bend = kBendCentre;   // in force
  Range range;              // in force, or kUnknownRange
  uint64_t idle_since = 0;
};

// The notes sounding on an output channel, per key played, and whose they
// are: one key of one source per key played, so that every note-off ends the
// note it means.
struct KeysSounding {
  std::array<uint32_t, 128> count{};
  std::array<uint8_t, 128> source{};
  std::array<uint8_t, 128> key{};  // of the source

  bool free_for(uint8_t played, uint8_t from, uint8_t from_key) const {
    return count[played] == 0 || (source[played] == from && key[played] == from_key);
  }
};

// Plays one timeline (the merged tracks of a file, or one track of a format 2
// file) onto the output channels.
class Spreader {
 public:
  Spreader(const KeyTable& keys, const Method& method, PolyReport& report)
      : keys_(keys), method_(method), report_(report) {
    for (int o = 0; o < kChannels; ++o) {
      outputs_[o].usable = takes_notes(o);
      if (method.declare_bend_range) outputs_[o].range = kUnknownRange;
      // Every channel starts out carrying its own messages.
      if (outputs_[o].usable) {
        outputs_[o].carrier = static_cast<uint8_t>(o);
        carried_[o] = static_cast<uint16_t>(1u << o);
      }
    }
  }

  void play(const smf::File& file, const std::vector<size_t>& tracks, std::vector<TrackWriter>& writers);

 private:
  bool takes_notes(int channel) const { return channel != kDrumChannel && !method_.skips(channel); }

  // Plays one event of `track`; one that is left out may still need to keep
  // time.
  void handle(const TimedEvent& event, size_t track, TrackWriter& out);
  void dispatch(const TimedEvent& event, size_t track, TrackWriter& out);
  void note_on(uint8_t source, uint8_t key, uint8_t velocity);
  void note_off(uint8_t source, uint8_t status, uint8_t key, uint8_t velocity);
  void poly_pressure(uint8_t source, uint8_t key, uint8_t value);
  void controller(uint8_t source, uint8_t controller, uint8_t value);
  void forward(uint8_t source, uint8_t kind, uint8_t data1, uint8_t data2 = 0);
  void reset();

  int free_channel(uint8_t source, int bend) const;
  int nearest_channel(uint8_t source, KeyPlace place, uint8_t key, int bend) const;
  void take_on(int o, uint8_t source);
  void write_bend(int o, int bend);
  void rebend(uint8_t source);
  void end_note(uint8_t source, uint8_t key, size_t index);
  void release_pedal(uint8_t source);
  void let_go(uint8_t source, bool sound_off);

  double out_range(uint8_t source) const;
  Range declared_range(uint8_t source) const;
  int bend_for(uint8_t source, double offset) const;
  template <typename F>
  void for_each_carrier(uint8_t source, F f) const {
    for (unsigned bits = carried_[source]; bits; bits &= bits - 1) f(std::countr_zero(bits));
  }

  const KeyTable& keys_;
  const Method& method_;
  PolyReport& report_;
  std::array<Source, kChannels> sources_;
  std::array<Output, kChannels> outputs_;
  std::array<KeysSounding, kChannels> keys_sounding_;
  std::array<uint16_t, kChannels> carried_{};  // per source, bit n: output channel n carries it
  std::vector<smf::SysExJoiner> sysex_;  // per track: a reset may come in packets
  TrackWriter* out_ = nullptr;  // the track of the event at hand
  uint64_t tick_ = 0;
  uint64_t clock_ = 0;  // counts events, for "idle longest"
};

void Spreader::play(const smf::File& file, const std::vector<size_t>& tracks, std::vector<TrackWriter>& writers) {
  sysex_.resize(file.tracks.size());
  smf::MergedEvents events(file, tracks);
  while (const TimedEvent* event = events.next()) handle(*event, events.track(), writers[events.track()]);
}

void Spreader::handle(const TimedEvent& event, size_t track, TrackWriter& out) {
  const size_t written = out.bytes().size();
  dispatch(event, track, out);
  if (out.bytes().size() == written) {
    // Restating the bend in force on a channel changes nothing.
    for (int o = 0; o < kChannels; ++o) {
      if (!outputs_[o].usable) continue;
      const int bend = outputs_[o].bend;
      const uint8_t filler[3] = {static_cast<uint8_t>(smf::kPitchBend | o), static_cast<uint8_t>(bend & 0x7F),
                                 static_cast<uint8_t>(bend >> 7)};
      out.leave_out(event.tick, filler);
      break;
    }
  }
}

void Spreader::dispatch(const TimedEvent& event, size_t track, TrackWriter& out) {
  out_ = &out;
  tick_ = event.tick;
  ++clock_;
  const uint8_t status = event.event.status;
  if (smf::class_of(status) != smf::StatusClass::kChannel) {
    out.copy(tick_, event);
    if (smf::is_sysex(status) && sysex_[track].take(event.event, event.payload()) && smf::is_reset(sysex_[track].message()))
      reset();
    return;
  }
  const uint8_t source = smf::channel_of(status);
  const uint8_t data1 = event.event.data[0];
  const uint8_t data2 = event.event.data[1];
  // A data byte with its top bit set makes no message a synthesizer could
  // take: such an event goes through as it is.
  if (!takes_notes(source) || ((data1 | data2) & smf::kStatusBit)) {
    out.copy(tick_, event);
    return;
  }
  ChannelState& state = sources_[source].state;
  switch (smf::kind_of(status)) {
    case smf::kNoteOn:
      if (data2 > 0) note_on(source, data1, data2);
      else note_off(source, status, data1, data2);
      break;
    case smf::kNoteOff:
      note_off(source, status, data1, data2);
      break;
    case smf::kPolyPressure:
      poly_pressure(source, data1, data2);
      break;
    case smf::kController:
      controller(source, data1, data2);
      break;
    case smf::kProgram:
      state.program = data1;
      forward(source, smf::kProgram, data1);
      break;
    case smf::kChannelPressure:
      state.pressure = data1;
      forward(source, smf::kChannelPressure, data1);
      break;
    case smf::kPitchBend:
      if (method_.ignore_file_bends) break;
      state.bend = data1 | data2 << 7;
      rebend(source);
      break;
    default:
      break;
  }
}

void Spreader::forward(uint8_t source, uint8_t kind, uint8_t data1, uint8_t data2) {
  for_each_carrier(source, [&](int o) { out_->channel(tick_, static_cast<uint8_t>(kind | o), data1, data2); });
}

void Spreader::controller(uint8_t source, uint8_t controller, uint8_t value) {
  ChannelState& state = sources_[source].state;
  const bool sets_range = is_data_entry(controller) && state.selection.is_bend_range();
  state.set_controller(controller, value);
  // With a bend range of the user's, the file's own would undo it.
  if (!(sets_range && method_.declare_bend_range)) {
    forward(source, smf::kController, controller, value);
    for_each_carrier(source, [&](int o) {
      if (sets_range) outputs_[o].range = state.range;
      if (controller == kResetAllControllers) outputs_[o].bend = kBendCentre;
    });
  }
  if ((controller == kSustain && value < kPedalDown) || controller == kResetAllControllers) release_pedal(source);
  if (controller == kAllNotesOff || controller == kAllSoundOff) let_go(source, controller == kAllSoundOff);
  if (sets_range || controller == kResetAllControllers) rebend(source);
}

double Spreader::out_range(uint8_t source) const {
  return bends_range(method_, sources_[source].state.range.in_semitones());
}

Range Spreader::declared_range(uint8_t source) const {
  if (!method_.declare_bend_range) return sources_[source].state.range;
  return {static_cast<uint8_t>(method_.bend_range), 0};
}

int Spreader::bend_for(uint8_t source, double offset) const {
  const ChannelState& state = sources_[source].state;
  return note_bend(state.bend, state.range.in_semitones(), offset, out_range(source));
}

void Spreader::write_bend(int o, int bend) {
  out_->channel(tick_, static_cast<uint8_t>(smf::kPitchBend | o), static_cast<uint8_t>(bend & 0x7F),
                static_cast<uint8_t>(bend >> 7));
  outputs_[o].bend = bend;
  ++report_.bends;
}

void Spreader::rebend(uint8_t source) {
  for_each_carrier(source, [&](int o) {
    const Output& out = outputs_[o];
    if (out.sounding == 0) return;
    const int bend = bend_for(source, out.offset);
    if (bend != out.bend) write_bend(o, bend);
  });
}

// A channel with nothing sounding: one that has this source's settings and
// the bend already, else the one idle longest (the release of its last notes
// has then had the most time to fade before its bend changes), the source's
// own first among equals.
int Spreader::free_channel(uint8_t source, int bend) const {
  int best = -1;
  std::tuple<bool, uint64_t, bool> best_rank;
  for (int o = 0; o < kChannels; ++o) {
    const Output& out = outputs_[o];
    if (!out.usable || out.sounding > 0) continue;
    const bool ready = out.carrier == source && out.bend == bend && out.range == declared_range(source);
    const std::tuple<bool, uint64_t, bool> rank{!ready, out.idle_since, o != source};
    if (best < 0 || rank < best_rank) best = o, best_rank = rank;
  }
  return best;
}

// No channel is free: the busy one whose bend is nearest, its source's own
// first. None where another key's note sounds on the key played, since the
// two notes' ends could not be told apart.
int Spreader::nearest_channel(uint8_t source, KeyPlace place, uint8_t key, int bend) const {
  int best = -1;
  std::tuple<bool, int> best_rank;
  for (int o = 0; o < kChannels; ++o) {
    const Output& out = outputs_[o];
    if (!out.usable || !keys_sounding_[o].free_for(place.key, source, key)) continue;
    const std::tuple<bool, int> rank{out.carrier != source, std::abs(out.bend - bend)};
    if (best < 0 || rank < best_rank) best = o, best_rank = rank;
  }
  return best;
}

// Before a channel plays the source's notes it takes on the source's
// settings: bank and program, controllers, pressure, bend range, and last the
// parameter selection, so that later data entry goes where the file means.
void Spreader::take_on(int o, uint8_t source) {
  Output& out = outputs_[o];
  const ChannelState& want = sources_[source].state;
  const ChannelState& had = sources_[out.carrier].state;
  const auto control = static_cast<uint8_t>(smf::kController | o);
  Selection selection = had.selection;
  if (out.carrier != source) {
    // A bank takes effect with the next program change.
    const bool bank = had.controllers[kBankSelect] != want.controllers[kBankSelect] ||
                      had.controllers[kBankSelectLsb] != want.controllers[kBankSelectLsb];
    if (bank) {
      out_->channel(tick_, control, kBankSelect, want.controllers[kBankSelect]);
      out_->channel(tick_, control, kBankSelectLsb, want.controllers[kBankSelectLsb]);
    }
    if (bank || had.program != want.program)
      out_->channel(tick_, static_cast<uint8_t>(smf::kProgram | o), want.program);
    if (had.controllers != want.controllers)
      for (uint8_t c = 0; c < kFirstModeMessage; ++c)
        if (is_plain_setting(c) && had.controllers[c] != want.controllers[c])
          out_->channel(tick_, control, c, want.controllers[c]);
    if (had.pressure != want.pressure)
      out_->channel(tick_, static_cast<uint8_t>(smf::kChannelPressure | o), want.pressure);
    carried_[out.carrier] &= static_cast<uint16_t>(~(1u << o));
    carried_[source] |= static_cast<uint16_t>(1u << o);
    out.carrier = source;
  }
  const Range range = declared_range(source);
  if (out.range != range) {
    for (auto [c, v] : {std::pair<uint8_t, uint8_t>{kRpnMsb, 0}, {kRpnLsb, 0}, {kDataEntry, range.semitones},
                        {kDataEntryLsb, range.cents}})
      out_->channel(tick_, control, c, v);
    out.range = range;
    selection.nrpn = false;
    selection.rpn[0] = selection.rpn[1] = 0;
  }
  // The kind selected last is the one data entry goes to.
  const bool kind_differs = selection.nrpn != want.selection.nrpn;
  const bool rpn_differs = !std::equal(selection.rpn, selection.rpn + 2, want.selection.rpn);
  const bool nrpn_differs = !std::equal(selection.nrpn_number, selection.nrpn_number + 2, want.selection.nrpn_number);
  auto select = [&](uint8_t msb, const uint8_t* numbers) {
    out_->channel(tick_, control, msb, numbers[0]);
    out_->channel(tick_, control, static_cast<uint8_t>(msb - 1), numbers[1]);
  };
  if (want.selection.nrpn) {
    if (rpn_differs) select(kRpnMsb, want.selection.rpn);
    if (nrpn_differs || kind_differs) select(kNrpnMsb, want.selection.nrpn_number);
  } else {
    if (nrpn_differs) select(kNrpnMsb, want.selection.nrpn_number);
    if (rpn_differs || kind_differs) select(kRpnMsb, want.selection.rpn);
  }
}

void Spreader::note_on(uint8_t source, uint8_t key, uint8_t velocity) {
  Source& src = sources_[source];
  PolyReport::Source& stats = report_.sources[source];
  ++stats.notes;
  // A key whose offset the bends cannot reach is played on a neighbour.
  const KeyPlace place = place_key(keys_, key, out_range(source));
  report_.moved += place.key != key;
  const double offset = place.cents;
  const int bend = bend_for(source, offset);
  int o = -1;
  for_each_carrier(source, [&](int c) {
    const Output& out = outputs_[c];
    if (o < 0 && out.sounding > 0 && out.offset == offset && keys_sounding_[c].free_for(place.key, source, key))
      o = c;
  });
  if (o < 0) {
    o = free_channel(source, bend);
    if (o >= 0) {
      take_on(o, source);
      outputs_[o].offset = offset;
      write_bend(o, bend);
    }
  }
  if (o < 0) {
    o = nearest_channel(source, place, key, bend);
    if (o < 0) {
      ++stats.dropped;
      ++report_.dropped;
      src.notes[key].push_back({kNone, place.key, false});
      return;
    }
    ++stats.approximate;
    ++report_.approximate;
    const double off = std::abs(outputs_[o].bend - bend) * out_range(source) * 100 / kBendCentre;
    report_.max_cents_off = std::max(report_.max_cents_off, off);
  }
  Output& out = outputs_[o];
  out_->channel(tick_, static_cast<uint8_t>(smf::kNoteOn | o), place.key, velocity);
  ++out.sounding;
  KeysSounding& sounding = keys_sounding_[o];
  ++sounding.count[place.key];
  sounding.source[place.key] = source;
  sounding.key[place.key] = key;
  src.notes[key].push_back({static_cast<uint8_t>(o), place.key, false});
  stats.channels |= static_cast<uint16_t>(1u << o);
  int bends = 0;
  for_each_carrier(source, [&](int c) { bends += outputs_[c].sounding > 0; });
  stats.most_bends = std::max(stats.most_bends, bends);
}

void Spreader::note_off(uint8_t source, uint8_t status, uint8_t key, uint8_t velocity) {
  Source& src = sources_[source];
  std::vector<Note>& notes = src.notes[key];
  size_t i = 0;
  while (i < notes.size() && notes[i].released) ++i;
  if (i == notes.size()) return;  // no note of this key sounds: nothing to end
  const uint8_t o = notes[i].out;
  if (o == kNone) {
    notes.erase(notes.begin() + static_cast<ptrdiff_t>(i));
    return;
  }
  out_->channel(tick_, static_cast<uint8_t>(smf::kind_of(status) | o), notes[i].played, velocity);
  if (src.state.pedal_down()) {
    notes[i].released = true;
    ++src.held;
  } else {
    end_note(source, key, i);
  }
}

void Spreader::end_note(uint8_t source, uint8_t key, size_t index) {
  std::vector<Note>& notes = sources_[source].notes[key];
  Output& out = outputs_[notes[index].out];
  --keys_sounding_[notes[index].out].count[notes[index].played];
  if (--out.sounding == 0) out.idle_since = clock_;
  notes.erase(notes.begin() + static_cast<ptrdiff_t>(index));
}

void Spreader::release_pedal(uint8_t source) {
  Source& src = sources_[source];
  if (src.held == 0) return;
  for (int key = 0; key < 128; ++key) {
    std::vector<Note>& notes = src.notes[key];
    for (size_t i = notes.size(); i-- > 0;)
      if (notes[i].released) end_note(source, static_cast<uint8_t>(key), i);
  }
  src.held = 0;
}

// All notes off: every note of the source is let go as by its note-off, so
// that the pedal still holds it; all sound off: every note ends. Only where
// the message goes: a note placed on a channel of another source sounds on
// until its own note-off.
void Spreader::let_go(uint8_t source, bool sound_off) {
  Source& src = sources_[source];
  const bool hold = !sound_off && src.state.pedal_down();
  for (int key = 0; key < kKeys; ++key) {
    std::vector<Note>& notes = src.notes[key];
    for (size_t i = notes.size(); i-- > 0;) {
      if (notes[i].out == kNone) {
        notes.erase(notes.begin() + static_cast<ptrdiff_t>(i));
      } else if (!(carried_[source] >> notes[i].out & 1)) {
        continue;
      } else if (!hold) {
        src.held -= notes[i].released;
        end_note(source, static_cast<uint8_t>(key), i);
      } else if (!notes[i].released) {
        notes[i].released = true;
        ++src.held;
      }
    }
  }
}

void Spreader::poly_pressure(uint8_t source, uint8_t key, uint8_t value) {
  const std::vector<Note>& notes = sources_[source].notes[key];
  for (auto note = notes.begin(); note != notes.end(); ++note) {
    auto same = [&](const Note& other) { return other.out == note->out && other.played == note->played; };
    if (note->out == kNone || std::any_of(notes.begin(), note, same)) continue;
    out_->channel(tick_, static_cast<uint8_t>(smf::kPolyPressure | note->out), note->played, value);
  }
}

// Every note ends and every channel is back at its defaults, on the
// synthesizer as here.
void Spreader::reset() {
  for (Source& src : sources_) {
    src.state = ChannelState{};
    for (auto& notes : src.notes) notes.clear();
    src.held = 0;
  }
  for (KeysSounding& keys : keys_sounding_) keys = KeysSounding{};
  for (Output& out : outputs_) {
    if (out.sounding > 0) out.idle_since = clock_;
    out.sounding = 0;
    out.bend = kBendCentre;
    out.range = method_.declare_bend_range ? kUnknownRange : Range{};
  }
}

}  // namespace

PolyReport retune_poly(std::string input, const KeyTable& keys, const Method& method, io::ByteSink& out) {
  const smf::File file = smf::read_file(std::move(input));
  std::vector<TrackWriter> writers(file.tracks.size());
  for (size_t t = 0; t < writers.size(); ++t) {
    const size_t size = file.tracks[t].end - file.tracks[t].begin;
    writers[t].bytes().reserve(2 * size + 64);  // untouched pages cost nothing
  }
  PolyReport report;
  for (const std::vector<size_t>& tracks : smf::timelines(file)) Spreader(keys, method, report).play(file, tracks, writers);
  std::vector<std::string> tracks;
  tracks.reserve(writers.size());
  for (TrackWriter& writer : writers) tracks.push_back(std::move(writer.bytes()));
  smf::write_file(file, tracks, out);
  return report;
}

std::string retune_poly(std::string input, const KeyTable& keys, const Method& method, PolyReport* report) {
  io::MemorySink sink;
  const PolyReport made = retune_poly(std::move(input), keys, method, sink);
  if (report) *report = made;
  return sink.bytes();
}

}  // namespace retune
