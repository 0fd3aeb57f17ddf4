#include "retune/analyze.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>

#include "retune/messages.h"
#include "channel/parameters.h"
#include "smf/controllers.h"
#include "smf/smf_file.h"
#include "smf/sysex.h"

namespace retune {

namespace {

using smf::TimedEvent;
using namespace smf::gm;

constexpr uint8_t kTempo = 0x51;
constexpr double kDefaultTempo = 500000;  // microseconds per quarter note

// Seconds per tick at a tempo, or none when the division counts no ticks.
struct Clock {
  explicit Clock(uint16_t division) {
    if (division & 0x8000) {
      // SMPTE: frames per second (negative, 29 meaning 29.97) and ticks per frame.
      const int fps = -static_cast<int8_t>(division >> 8);
      const int ticks_per_frame = division & 0xFF;
      if (fps > 0 && ticks_per_frame > 0) fixed = 1.0 / ((fps == 29 ? 29.97 : fps) * ticks_per_frame);
      else valid = false;
    } else if (division == 0) {
      valid = false;
    } else {
      quarter = division;
    }
  }
  double seconds_per_tick(double tempo) const { return quarter ? tempo / 1e6 / quarter : fixed; }

  bool valid = true;
  int quarter = 0;   // ticks per quarter note, when not SMPTE
  double fixed = 0;  // seconds per tick, when SMPTE
};

// One timeline (a file's merged tracks, or one track of a format 2 file) as
// the output methods would meet it. Notes sound, and the file's bend and bend
// range apply, as in the polyphonic mode.
class Survey {
 public:
  Survey(const KeyTable& keys, const Method& method, const smf::File& file, Analysis& analysis)
      : keys_(keys), method_(method), clock_(file.division), analysis_(analysis), sysex_(file.tracks.size()) {}

  void visit(const TimedEvent& event, size_t track) {
    if (clock_.valid) seconds_ += static_cast<double>(event.tick - tick_) * clock_.seconds_per_tick(tempo_);
    tick_ = event.tick;
    const uint8_t status = event.event.status;
    if (status == smf::kMetaEvent) {
      if (event.event.data[0] == kTempo && event.event.length >= 3) {
        const uint8_t* p = event.payload();
        tempo_ = static_cast<double>(uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]);
      }
      return;
    }
    if (status == smf::kSysEx || status == smf::kSysExEscape) {
      // A reset may come in packets.
      if (!sysex_[track].take(event.event, event.payload())) return;
      if (const char* kind = smf::reset_kind(sysex_[track].message())) {
        analysis_.resets.push_back({tick_, kind});
        reset();
      }
      return;
    }
    if (smf::class_of(status) != smf::StatusClass::kChannel) return;
    const uint8_t channel = smf::channel_of(status);
    // The grammar takes any byte as data; a synthesizer reads seven bits.
    const uint8_t data1 = event.event.data[0] & 0x7F;
    const uint8_t data2 = event.event.data[1] & 0x7F;
    switch (smf::kind_of(status)) {
      case smf::kNoteOn:
        if (data2 > 0) note_on(channel, data1);
        else note_off(channel, data1);
        break;
      case smf::kNoteOff:
        note_off(channel, data1);
        break;
      case smf::kController:
        controller(channel, data1, data2);
        break;
      case smf::kProgram: {
        std::vector<int>& programs = analysis_.channels[channel].programs;
        if (std::find(programs.begin(), programs.end(), data1) == programs.end()) programs.push_back(data1);
        break;
      }
      case smf::kPitchBend:
        pitch_bend(channel, data1 | data2 << 7);
        break;
      default:
        break;
    }
  }

  uint64_t end_tick() const { return tick_; }
  double end_seconds() const { return clock_.valid ? seconds_ : -1; }

 private:
  struct State {
    int bend = kBendCentre;
    Selection selection;
    Range range;
    bool pedal = false;
    std::array<std::vector<bool>, kKeys> notes;  // per key, first on first off: released and held by the pedal
    int sounding = 0;
    std::array<double, kKeys> key_cents{};             // what the bend of each key's notes adds
    std::array<int, kKeys> key_bend{};                 // the bend each key's notes need now
    std::array<uint8_t, kBendMax + 1> keys_on_bend{};  // sounding keys that need each bend
    int distinct = 0;                                  // bends the sounding notes need
  };

  bool moved_by_poly(int channel) const { return channel != kDrumChannel && !method_.skips(channel); }
  static double file_range(const State& state) { return state.range.in_semitones(); }

  // The bend a note needs on the channel now, its bend adding `cents`.
  int bend_for(const State& state, double cents) const {
    return note_bend(state.bend, file_range(state), cents, bends_range(method_, file_range(state)));
  }

  // A key starts (+1) or stops (-1) sounding on the channel.
  void count_key(int channel, int key, int change) {
    State& state = states_[channel];
    uint8_t& keys = state.keys_on_bend[state.key_bend[key]];
    if (change > 0 ? keys++ > 0 : --keys > 0) return;
    state.distinct += change;
    if (moved_by_poly(channel)) pairs_ += change;
    Analysis::Channel& stats = analysis_.channels[channel];
    stats.most_bends = std::max(stats.most_bends, state.distinct);
    analysis_.most_pairs = std::max(analysis_.most_pairs, pairs_);
  }

  // The file's bend or bend range changed: every sounding key needs another
  // bend.
  void rebend(int channel) {
    State& state = states_[channel];
    for (int key = 0; key < kKeys; ++key)
      if (!state.notes[key].empty()) count_key(channel, key, -1);
    for (int key = 0; key < kKeys; ++key)
      if (!state.notes[key].empty()) state.key_bend[key] = bend_for(state, state.key_cents[key]);
    for (int key = 0; key < kKeys; ++key)
      if (!state.notes[key].empty()) count_key(channel, key, +1);
  }

  void note_on(uint8_t channel, uint8_t key) {
    State& state = states_[channel];
    Analysis::Channel& stats = analysis_.channels[channel];
    ++stats.notes;
    state.notes[key].push_back(false);
    stats.most_sounding = std::max(stats.most_sounding, ++state.sounding);
    if (state.notes[key].size() > 1) return;
    // Where the key is played is settled as it starts to sound, as --poly does.
    state.key_cents[key] = place_key(keys_, key, bends_range(method_, file_range(state))).cents;
    state.key_bend[key] = bend_for(state, state.key_cents[key]);
    count_key(channel, key, +1);
  }

  void note_off(uint8_t channel, uint8_t key) {
    State& state = states_[channel];
    std::vector<bool>& notes = state.notes[key];
    const auto pressed = std::find(notes.begin(), notes.end(), false);
    if (pressed == notes.end()) return;  // no note of this key to end
    if (state.pedal) {
      *pressed = true;
      return;
    }
    notes.erase(pressed);
    --state.sounding;
    if (notes.empty()) count_key(channel, key, -1);
  }

  void release_pedal(uint8_t channel) {
    states_[channel].pedal = false;
    end_released(channel);
  }

  // All notes off lets every note go, as its note-off would; all sound off
  // ends them, the pedal's too.
  void let_go(uint8_t channel, bool sound_off) {
    State& state = states_[channel];
    for (std::vector<bool>& notes : state.notes) std::fill(notes.begin(), notes.end(), true);
    if (sound_off || !state.pedal) end_released(channel);
  }

  void end_released(uint8_t channel) {
    State& state = states_[channel];
    for (int key = 0; key < kKeys; ++key) {
      std::vector<bool>& notes = state.notes[key];
      const auto kept = std::remove(notes.begin(), notes.end(), true);
      if (kept == notes.end()) continue;
      state.sounding -= static_cast<int>(notes.end() - kept);
      notes.erase(kept, notes.end());
      if (notes.empty()) count_key(channel, key, -1);
    }
  }

  void controller(uint8_t channel, uint8_t controller, uint8_t value) {
    State& state = states_[channel];
    if (state.selection.select(controller, value)) return;
    if (state.range.enter(state.selection, controller, value)) return range_set(channel);
    switch (controller) {
      case kSustain:
        if (value >= kPedalDown) state.pedal = true;
        else release_pedal(channel);
        break;
      case kAllNotesOff:
      case kAllSoundOff:
        let_go(channel, controller == kAllSoundOff);
        break;
      case kResetAllControllers:
        state.selection = Selection{};
        state.bend = kBendCentre;
        release_pedal(channel);
        rebend(channel);
        break;
      default:
        break;
    }
  }

  // Data entry changed the bend range.
  void range_set(uint8_t channel) {
    const Range& range = states_[channel].range;
    std::vector<Analysis::RangeSetting>& ranges = analysis_.channels[channel].ranges;
    const Analysis::RangeSetting setting{tick_, range.semitones, range.cents};
    // The semitones and cents of one setting come at one tick.
    if (!ranges.empty() && ranges.back().tick == tick_) ranges.back() = setting;
    else if (ranges.empty() || ranges.back().semitones != setting.semitones || ranges.back().cents != setting.cents)
      ranges.push_back(setting);
    rebend(channel);
  }

  void pitch_bend(uint8_t channel, int value) {
    State& state = states_[channel];
    Analysis::Channel& stats = analysis_.channels[channel];
    ++stats.bends;
    stats.lowest_bend = std::min(stats.lowest_bend, value);
    stats.highest_bend = std::max(stats.highest_bend, value);
    if (value != kBendCentre || state.sounding > 0) ++stats.bends_in_play;
    if (method_.ignore_file_bends) return;
    state.bend = value;
    rebend(channel);
  }

  // Every note ends and every channel is back at its defaults.
  void reset() {
    for (State& state : states_) state = State{};
    pairs_ = 0;
  }

  const KeyTable& keys_;
  const Method& method_;
  Clock clock_;
  Analysis& analysis_;
  std::vector<smf::SysExJoiner> sysex_;  // by track
  std::array<State, kChannels> states_;
  int pairs_ = 0;
  uint64_t tick_ = 0;
  double seconds_ = 0;
  double tempo_ = kDefaultTempo;
};

// Which method plays the file right, and why the plain bends would not.
void advise(Analysis& analysis, const KeyTable& keys, const Method& method) {
  for (int c = 0; c < kChannels; ++c) {
    if (c == kDrumChannel || method.skips(c)) continue;
    const Analysis::Channel& channel = analysis.channels[c];
    const auto bit = static_cast<uint16_t>(1u << c);
    if (channel.most_bends > 1) analysis.chords |= bit;
    if (channel.bends_in_play > 0) analysis.own_bends |= bit;
    for (const Analysis::RangeSetting& range : channel.ranges)
      if (channel.notes > 0 && (range.semitones != method.bend_range || range.cents != 0)) analysis.own_ranges |= bit;
    ++analysis.poly_channels;
  }
  analysis.drums = !method.skips(kDrumChannel) && analysis.channels[kDrumChannel].notes > 0;
  const std::optional<Tuning> cent = keys.pitch_classes();
  const double mts_limit = max_offset(Method{.mts = true});
  analysis.mts_fits = cent && std::all_of(cent->begin(), cent->end(), [mts_limit](double c) {
                        return std::fabs(c) <= mts_limit;
                      });

  if (!(analysis.chords | analysis.own_bends | analysis.own_ranges)) analysis.advice = Analysis::Advice::kPlain;
  else if (analysis.most_pairs <= analysis.poly_channels) analysis.advice = Analysis::Advice::kPoly;
  else analysis.advice = Analysis::Advice::kMts;
}

}  // namespace

KeyTable every_class_its_own() {
  Tuning cent;
  for (int pitch_class = 0; pitch_class < kPitchClasses; ++pitch_class) cent[pitch_class] = pitch_class;
  return KeyTable::from_pitch_classes(cent);
}

Analysis analyze(std::string bytes, const KeyTable& keys, const Method& method) {
  const smf::File file = smf::read_file(std::move(bytes));
  Analysis analysis;
  analysis.format = file.format;
  analysis.division = file.division;
  analysis.tracks = file.tracks.size();
  for (int c = 0; c < kChannels; ++c) analysis.channels[c].skipped = method.skips(c);

  for (const std::vector<size_t>& tracks : smf::timelines(file)) {
    Survey survey(keys, method, file, analysis);
    smf::MergedEvents events(file, tracks);
    while (const TimedEvent* event = events.next()) survey.visit(*event, events.track());
    analysis.length_ticks = std::max(analysis.length_ticks, survey.end_tick());
    analysis.length_seconds = std::max(analysis.length_seconds, survey.end_seconds());
  }
  if (!Clock(file.division).valid) analysis.length_seconds = -1;
  advise(analysis, keys, method);
  return analysis;
}

}  // namespace retune
