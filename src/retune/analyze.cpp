#include "retune/analyze.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>

#include "channel/channel_model.h"
#include "retune/intonation.h"
#include "retune/messages.h"
#include "retune/note_bends.h"
#include "smf/controllers.h"
#include "smf/smf_file.h"
#include "smf/sysex.h"

namespace retune {

namespace {

using smf::TimedEvent;
using namespace smf::gm;

constexpr uint8_t kTempo = 0x51;
constexpr uint8_t kMpeConfiguration = 6;  // registered parameter 0/6: the members of a zone
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

std::array<double, kKeys> equal_pitches() {
  std::array<double, kKeys> pitches;
  for (int key = 0; key < kKeys; ++key) pitches[key] = 100.0 * key;
  return pitches;
}

// One timeline (a file's merged tracks, or one track of a format 2 file) as
// the output methods would meet it: the channel model's notes, each needing
// the bend the polyphonic mode would give it.
class TimelineAnalysis final : public ChannelListener {
 public:
  TimelineAnalysis(const KeyTable& keys, const Method& method, const smf::File& file, Analysis& analysis)
      : method_(method),
        clock_(file.division),
        analysis_(analysis),
        bends_(keys, method),
        bends_at_once_(bends_),
        model_(*this, file.tracks.size(), !method.ignore_file_bends),
        bent_after_(file.tracks.size()) {}

  void visit(const TimedEvent& event, size_t track) {
    if (event.tick != tick_) pitch_started_notes();
    if (clock_.valid) seconds_ += static_cast<double>(event.tick - tick_) * clock_.seconds_per_tick(tempo_);
    tick_ = event.tick;
    const uint8_t status = event.event.status;
    if (status == smf::kMetaEvent && event.event.data[0] == kTempo && event.event.length >= 3) {
      const uint8_t* p = event.payload();
      tempo_ = static_cast<double>(uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]);
    }
    look_for_earlier_retuning(event, track);
    if (smf::is_sysex(status)) take_tuning_message(event.payload(), event.event.length, key_pitches_);
    const bool channel_message = smf::class_of(status) == smf::StatusClass::kChannel;
    if (!channel_message || ChannelModel::is_malformed(event.event)) return model_.take(event, track);
    const uint8_t channel = smf::channel_of(status);
    const Range range = model_.state(channel).range;
    switch (smf::kind_of(status)) {
      case smf::kProgram: {
        std::vector<int>& programs = analysis_.channels[channel].programs;
        const int program = event.event.data[0];
        if (std::find(programs.begin(), programs.end(), program) == programs.end()) programs.push_back(program);
        break;
      }
      case smf::kPitchBend:
        pitch_bend(channel, event.event.data[0] | event.event.data[1] << 7);
        break;
      default:
        break;
    }
    model_.take(event, track);
    if (!(model_.state(channel).range == range)) range_set(channel);
  }

  uint64_t end_tick() const { return tick_; }
  // How the notes of the channels retuned sound with each other, by the file's own bends.
  Intonation intonation() {
    pitch_started_notes();
    Intonation intonation = measure_intonation(spans_.finish(tick_));
    intonation.bends_on_held_notes = bends_on_held_notes_;
    return intonation;
  }
  double end_seconds() const { return clock_.valid ? seconds_ : -1; }

  void note_started(uint8_t channel, Note& note) override {
    Analysis::Channel& stats = analysis_.channels[channel];
    ++stats.notes;
    stats.most_sounding = std::max(stats.most_sounding, model_.sounding(channel));
    count_bends(channel, [&] { bends_at_once_.note_started(model_, channel, note.key); });
    stats.chord_notes += bends_at_once_.bends(channel) > 1;
    if (!tuned(channel)) return;
    spans_.started(tick_, channel, note);
    started_now_.push_back(spans_.notes().size() - 1);
  }
  void note_ended(uint8_t channel, Note& note) override {
    count_bends(channel, [&] { bends_at_once_.note_ended(channel, note.key); });
    if (tuned(channel)) spans_.ended(tick_, note);
  }
  void bend_changed(uint8_t channel) override {
    count_bends(channel, [&] { bends_at_once_.bend_changed(model_, channel); });
  }
  void reset(const char* kind) override {
    analysis_.resets.push_back({tick_, kind});
    key_pitches_ = equal_pitches();  // the channels' tuning programs are deselected
    bends_at_once_.reset();
    pairs_ = 0;
  }

 private:
  // The channels whose intonation is measured: those --poly moves, and channel
  // 10 where an MPE lower zone (configured by RPN 6 on channel 1) takes it.
  bool tuned(int channel) const {
    if (method_.moves_notes_of(channel)) return true;
    if (method_.skips(channel)) return false;
    const auto& parameters = model_.state(0).parameters;
    const auto zone = parameters.find(Parameter{false, 0, kMpeConfiguration});
    return zone != parameters.end() && zone->second.msb_set && zone->second.msb >= channel;
  }

  // Follows a change to the bends a channel's notes need.
  template <typename F>
  void count_bends(uint8_t channel, F change) {
    const int before = bends_at_once_.bends(channel);
    change();
    const int after = bends_at_once_.bends(channel);
    if (method_.moves_notes_of(channel)) pairs_ += after - before;
    Analysis::Channel& stats = analysis_.channels[channel];
    stats.most_bends = std::max(stats.most_bends, after);
    analysis_.most_pairs = std::max(analysis_.most_pairs, pairs_);
  }

  // An earlier run of the plain bends left a pitch bend after every note-on,
  // at its tick and in its track; one of --mts, a tuning message at the start.
  void look_for_earlier_retuning(const TimedEvent& event, size_t track) {
    const uint8_t status = event.event.status;
    PendingNoteOn& pending = bent_after_[track];
    if (pending.channel >= 0 && event.tick == pending.tick && status == (smf::kPitchBend | pending.channel))
      ++analysis_.note_ons_bent;
    pending.channel = -1;
    if (smf::is_sysex(status) && event.tick == 0 && is_tuning_message(event.payload(), event.event.length))
      analysis_.starts_tuned = true;
    if (smf::class_of(status) != smf::StatusClass::kChannel || smf::kind_of(status) != smf::kNoteOn ||
        event.event.data[1] == 0 || method_.skips(smf::channel_of(status)))
      return;
    ++analysis_.note_ons;
    pending = {smf::channel_of(status), event.tick};
  }

  // Data entry changed the bend range.
  void range_set(uint8_t channel) {
    const Range& range = model_.state(channel).range;
    std::vector<Analysis::RangeSetting>& ranges = analysis_.channels[channel].ranges;
    const Analysis::RangeSetting setting{tick_, range.semitones, range.cents};
    // The semitones and cents of one setting come at one tick.
    if (!ranges.empty() && ranges.back().tick == tick_) ranges.back() = setting;
    else if (ranges.empty() || ranges.back().semitones != setting.semitones || ranges.back().cents != setting.cents)
      ranges.push_back(setting);
  }

  // A note sounds at the bend in force once every event at its tick is done.
  void pitch_started_notes() {
    for (size_t index : started_now_) {
      NoteSpan& note = spans_.notes()[index];
      const ChannelState& state = model_.state(note.channel);
      note.pitch = key_pitches_[note.key] + (state.bend - kBendCentre) * 100.0 * state.range.in_semitones() / kBendCentre;
    }
    started_now_.clear();
  }
  bool sounds_from_before(uint8_t channel) const {
    const auto now = std::count_if(started_now_.begin(), started_now_.end(),
                                   [&](size_t index) { return spans_.notes()[index].channel == channel; });
    return model_.sounding(channel) > now;
  }

  void pitch_bend(uint8_t channel, int value) {
    if (tuned(channel) && value != model_.state(channel).bend && sounds_from_before(channel))
      ++bends_on_held_notes_;
    Analysis::Channel& stats = analysis_.channels[channel];
    ++stats.bends;
    stats.lowest_bend = std::min(stats.lowest_bend, value);
    stats.highest_bend = std::max(stats.highest_bend, value);
    if (value != kBendCentre || model_.sounding(channel) > 0) ++stats.bends_in_play;
  }

  const Method& method_;
  Clock clock_;
  Analysis& analysis_;
  NoteBends bends_;
  BendsAtOnce bends_at_once_;
  ChannelModel model_;
  struct PendingNoteOn {
    int channel = -1;
    uint64_t tick = 0;
  };
  std::vector<PendingNoteOn> bent_after_;  // per track: the note-on its next event may bend
  int pairs_ = 0;
  NoteSpans spans_;
  std::array<double, kKeys> key_pitches_ = equal_pitches();  // as tuning messages leave them
  std::vector<size_t> started_now_;  // the notes started at this tick, to be pitched when it is done
  uint64_t bends_on_held_notes_ = 0;
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

bool Analysis::retuned_before() const {
  constexpr uint64_t kFewestNoteOns = 8;  // fewer could be bent so by chance
  return starts_tuned || (note_ons >= kFewestNoteOns && note_ons_bent == note_ons);
}

KeyTable every_class_its_own() {
  Tuning cent;
  for (int pitch_class = 0; pitch_class < kPitchClasses; ++pitch_class) cent[pitch_class] = pitch_class;
  return KeyTable::from_pitch_classes(cent);
}

Analysis analyze(io::Bytes bytes, const KeyTable& keys, const Method& method) {
  const smf::File file = smf::read_file(std::move(bytes));
  Analysis analysis;
  analysis.format = file.format;
  analysis.division = file.division;
  analysis.tracks = file.tracks.size();
  for (int c = 0; c < kChannels; ++c) analysis.channels[c].skipped = method.skips(c);

  for (const std::vector<size_t>& tracks : smf::timelines(file)) {
    TimelineAnalysis timeline(keys, method, file, analysis);
    smf::MergedEvents events(file, tracks);
    while (const TimedEvent* event = events.next()) timeline.visit(*event, events.track());
    analysis.length_ticks = std::max(analysis.length_ticks, timeline.end_tick());
    analysis.length_seconds = std::max(analysis.length_seconds, timeline.end_seconds());
    // Of several timelines (a format 2 file), the one with the most notes.
    Intonation intonation = timeline.intonation();
    if (intonation.notes >= analysis.intonation.notes) analysis.intonation = intonation;
  }
  if (!Clock(file.division).valid) analysis.length_seconds = -1;
  advise(analysis, keys, method);
  return analysis;
}

}  // namespace retune
