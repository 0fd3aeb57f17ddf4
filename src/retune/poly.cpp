#include "retune/poly.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <cmath>
#include <optional>
#include <tuple>
#include <vector>

#include "channel/channel_allocator.h"
#include "channel/channel_model.h"
#include "io/failure.h"
#include "retune/note_bends.h"
#include "retune/pitch.h"
#include "smf/controllers.h"
#include "smf/smf_file.h"

namespace retune {

namespace {

using smf::TimedEvent;
using smf::TrackWriter;
using namespace smf::gm;
using Way = ChannelAllocator::Way;

// Where a note sounds, kept in its mark: placed, its output channel and the
// key it is played on there, and whether its key was released there.
constexpr uint16_t kPlaced = 0x8000;
constexpr uint16_t kReleased = 0x4000;
uint16_t mark_of(int channel, int played) { return static_cast<uint16_t>(kPlaced | channel << 8 | played); }
bool placed(const Note& note) { return note.mark & kPlaced; }
int channel_of(const Note& note) { return note.mark >> 8 & 0x0F; }
uint8_t played_of(const Note& note) { return note.mark & 0x7F; }

// Which channels' notes are moved, which channels play them, and, in an MPE
// zone, the manager channel that takes the sources' channel-wide messages.
struct Zone {
  uint16_t sources = 0;
  uint16_t outputs = 0;
  int manager = -1;
  int members = 0;

  bool is_mpe() const { return manager >= 0; }
};

bool has_drum_notes(const smf::File& file) {
  for (const smf::Track& track : file.tracks) {
    smf::TrackEvents events(file, track);
    for (TimedEvent e; events.next(e);)
      if (e.event.status == (smf::kNoteOn | kDrumChannel) && e.event.data[1] > 0) return true;
  }
  return false;
}

// --poly: every channel but the drums and the skipped ones, onto themselves.
// --mpe: a lower zone, manager channel 1, its members channels 2 up to the
// one before the lowest that is skipped or holds drums.
Zone zone_for(const Method& method, const smf::File& file) {
  Zone zone;
  const bool drums = !method.mpe || has_drum_notes(file);
  for (int c = 0; c < kChannels; ++c)
    if (!method.skips(c) && !(c == kDrumChannel && drums)) zone.sources |= static_cast<uint16_t>(1u << c);
  if (!method.mpe) {
    zone.outputs = zone.sources;
    return zone;
  }
  if (method.skips(0)) io::fail(io::kExitBadArguments, "--mpe needs channel 1 as its manager channel: do not skip it\n");
  zone.manager = 0;
  while (zone.members + 1 < kChannels && (zone.sources >> (zone.members + 1) & 1)) ++zone.members;
  if (zone.members == 0) io::fail(io::kExitBadArguments, "--mpe has no member channel: channel 2 is skipped\n");
  zone.outputs = static_cast<uint16_t>(((1u << zone.members) - 1) << 1);
  return zone;
}

// Plays one timeline (the merged tracks of a file, or one track of a format 2
// file) onto the output channels of `zone`.
class PolyPlayer final : public ChannelListener {
 public:
  // With a plan, the notes in the order they start, each with its pitch (PitchPlanner).
  PolyPlayer(const KeyTable& keys, const Method& method, const Zone& zone, size_t tracks, PolyReport& report,
             std::vector<NoteSpan> planned, bool count_bends)
      : method_(method),
        zone_(zone),
        sources_(zone.sources),
        report_(report),
        planned_(std::move(planned)),
        bends_(keys, method, planned_.empty() ? 0.0 : kMostPlanned),
        model_(*this, tracks, !method.ignore_file_bends),
        allocator_(zone.outputs),
        beyond_(out_of_reach(keys, method).beyond),
        setup_pending_(zone.is_mpe()) {
    if (count_bends) bends_at_once_.emplace(bends_);
  }

  void play(const smf::File& file, const std::vector<size_t>& tracks, std::vector<TrackWriter>& writers,
            io::Spool* spool) {
    smf::rewrite_timeline(file, tracks, writers, spool,
                          [this](const TimedEvent& event, size_t track, TrackWriter& out) { handle(event, track, out); });
  }

  void note_started(uint8_t source, Note& note) override;
  void key_released(uint8_t source, Note& note) override;
  void note_off(uint8_t source, Note& note) override;
  void note_ended(uint8_t source, Note& note) override;
  void bend_changed(uint8_t source) override { rebend_pending_ |= static_cast<uint16_t>(1u << source); }
  void reset(const char* kind) override;

 private:
  bool takes_notes(int channel) const { return sources_ >> channel & 1; }

  void handle(const TimedEvent& event, size_t track, TrackWriter& out);
  void dispatch(const TimedEvent& event, size_t track);
  void poly_pressure(uint8_t source, uint8_t key, uint8_t value);
  NoteBends::PlacedKey place_note(uint8_t source, uint8_t key);
  bool forwards_controller(uint8_t source, uint8_t controller, uint8_t value) const;

  // Writes a channel message other than a note message on output channel `o`
  // and follows it there.
  void send(int o, uint8_t kind, uint8_t data1, uint8_t data2 = 0);
  // Writes a note message, which changes no setting of the channel.
  void send_note(int o, uint8_t kind, uint8_t key, uint8_t value) {
    out_->channel(event_->tick, static_cast<uint8_t>(kind | o), key, value);
  }
  // The same for a controller that holds a value of its own (ChannelState::is_setting).
  void set_controller(int o, uint8_t controller, uint8_t value) {
    out_->channel(event_->tick, static_cast<uint8_t>(smf::kController | o), controller, value);
    outputs_[o].controllers[controller] = value;
    outputs_[o].set[controller] = true;
  }
  void forward(uint8_t source, uint8_t kind, uint8_t data1, uint8_t data2 = 0);
  void write_bend(int o, int bend);
  void rebend(uint8_t source);

  void copy_state(int o, uint8_t source);
  void copy_parameters(int o, const ChannelState& want);
  void copy_pressure(int o, const ChannelState& want);
  void declare_range(int o, uint8_t source);
  void select(int o, const Selection& want);
  void end_notes_on(int o);
  void end_stopped_notes(int o, uint8_t played);
  void configure_zone();
  void check_one_sound(uint8_t source);

  const Method& method_;
  const Zone& zone_;
  const uint16_t sources_;  // zone_.sources, asked for on every event
  PolyReport& report_;
  const std::vector<NoteSpan> planned_;
  size_t next_planned_ = 0;
  NoteBends bends_;
  std::optional<BendsAtOnce> bends_at_once_;  // only where the report asks for them
  ChannelModel model_;
  ChannelAllocator allocator_;
  std::bitset<kKeys> beyond_;  // keys the bends cannot take to their pitch
  std::array<ChannelState, kChannels> outputs_;  // what each output channel holds, as written
  std::array<double, kChannels> cents_{};        // what the notes of each output channel are bent by
  // Per output channel and key played: the notes there, by source and key,
  // that a message stopped and whose note-offs are still to come.
  std::array<std::array<std::vector<std::pair<uint8_t, uint8_t>>, kKeys>, kChannels> stopped_;
  uint16_t rebend_pending_ = 0;                  // bit n: source n's notes need their bends again
  bool setup_pending_;                           // the zone is to be configured before the next note
  bool configured_ = false;                      // it was, once
  TrackWriter* out_ = nullptr;                   // the track of the event at hand
  const TimedEvent* event_ = nullptr;
};

// What may come before an MPE zone is configured at the start: the meta and
// system-exclusive events (resets among them) at the first tick.
bool may_precede_setup(const TimedEvent& event) {
  const uint8_t status = event.event.status;
  return event.tick == 0 && (smf::is_sysex(status) || (status == smf::kMetaEvent && event.event.data[0] != smf::kEndOfTrack));
}

void PolyPlayer::handle(const TimedEvent& event, size_t track, TrackWriter& out) {
  out_ = &out;
  event_ = &event;
  const uint64_t written = out.size();
  if (setup_pending_ && !configured_ && !may_precede_setup(event)) configure_zone();
  dispatch(event, track);
  for (; rebend_pending_; rebend_pending_ &= rebend_pending_ - 1)
    rebend(static_cast<uint8_t>(std::countr_zero(rebend_pending_)));
  if (out.size() == written) {
    // Restating the bend in force on a channel changes nothing.
    const int o = std::countr_zero(zone_.outputs);
    if (o >= kChannels) return;
    const int bend = outputs_[o].bend;
    const uint8_t filler[3] = {static_cast<uint8_t>(smf::kPitchBend | o), static_cast<uint8_t>(bend & 0x7F),
                               static_cast<uint8_t>(bend >> 7)};
    out.leave_out(event.tick, filler);
  }
}

void PolyPlayer::dispatch(const TimedEvent& event, size_t track) {
  const uint8_t status = event.event.status;
  const bool channel_message = smf::class_of(status) == smf::StatusClass::kChannel;
  const uint8_t source = smf::channel_of(status);
  if (!channel_message || !takes_notes(source) || ChannelModel::is_malformed(event.event)) {
    out_->copy(event.tick, event);
    model_.take(event, track);
    return;
  }
  const uint8_t kind = smf::kind_of(status);
  const uint8_t data1 = event.event.data[0];
  const uint8_t data2 = event.event.data[1];
  const bool forwarded = kind == smf::kController ? forwards_controller(source, data1, data2)
                                                  : kind == smf::kProgram || kind == smf::kChannelPressure;
  model_.take(event, track);
  if (forwarded) forward(source, kind, data1, data2);
  if (kind == smf::kPolyPressure) poly_pressure(source, data1, data2);
}

// A bend range the outputs do not use (the user's instead, or 2 semitones
// where the file's cannot reach the tuning) is not passed on.
bool PolyPlayer::forwards_controller(uint8_t source, uint8_t controller, uint8_t value) const {
  if (!ChannelState::enters_data(controller) || !model_.state(source).selection.is_bend_range()) return true;
  ChannelState after = model_.state(source);
  if (after.apply(smf::kController, controller, value) != Change::kBendRange) return true;
  return !method_.declare_bend_range && !bends_.range_too_small(after.range);
}

void PolyPlayer::send(int o, uint8_t kind, uint8_t data1, uint8_t data2) {
  out_->channel(event_->tick, static_cast<uint8_t>(kind | o), data1, data2);
  outputs_[o].apply(kind, data1, data2);
}

// In an MPE zone the manager channel takes what applies to every note; what
// applies to a source's notes alone (its pressure, the mode messages that end
// them) goes to the members playing them.
void PolyPlayer::forward(uint8_t source, uint8_t kind, uint8_t data1, uint8_t data2) {
  const bool per_note = kind == smf::kChannelPressure || (kind == smf::kController && data1 >= kAllSoundOff &&
                                                          data1 != kResetAllControllers);
  if (zone_.is_mpe() && !per_note) {
    send(zone_.manager, kind, data1, data2);
    // The reset put the source's pressure back to 0, and its members hold that pressure for it.
    if (kind == smf::kController && data1 == kResetAllControllers)
      for (unsigned bits = allocator_.channels_of(source); bits; bits &= bits - 1)
        copy_pressure(std::countr_zero(bits), model_.state(source));
    return;
  }
  for (unsigned bits = allocator_.channels_of(source); bits; bits &= bits - 1)
    send(std::countr_zero(bits), kind, data1, data2);
}

void PolyPlayer::write_bend(int o, int bend) {
  out_->channel(event_->tick, static_cast<uint8_t>(smf::kPitchBend | o), static_cast<uint8_t>(bend & 0x7F),
                static_cast<uint8_t>(bend >> 7));
  outputs_[o].bend = bend;
  ++report_.bends;
}

void PolyPlayer::rebend(uint8_t source) {
  if (!takes_notes(source)) return;
  if (bends_at_once_) bends_at_once_->bend_changed(model_, source);
  const ChannelState& state = model_.state(source);
  for (unsigned bits = allocator_.channels_of(source); bits; bits &= bits - 1) {
    const int o = std::countr_zero(bits);
    if (allocator_.sounding(o) == 0) continue;
    declare_range(o, source);
    const int tuning = bends_.tuning(state, cents_[o]);
    allocator_.set_tuning(o, tuning);
    const int bend = bends_.bend_by(source, state, tuning);
    if (bend != outputs_[o].bend) write_bend(o, bend);
  }
}

void PolyPlayer::note_started(uint8_t source, Note& note) {
  if (!takes_notes(source)) return;
  if (setup_pending_) configure_zone();
  if (zone_.is_mpe()) check_one_sound(source);
  PolyReport::Source& stats = report_.sources[source];
  ++stats.notes;
  const ChannelState& state = model_.state(source);
  if (!method_.declare_bend_range && bends_.range_too_small(state.range))
    report_.small_ranges |= static_cast<uint16_t>(1u << source);
  const auto [place, tuning] = place_note(source, note.key);
  report_.moved += place.key != note.key;
  report_.unreachable += note.key < kKeys && beyond_[note.key];
  const int bend = bends_.bend_by(source, state, tuning);
  if (bends_at_once_) {
    bends_at_once_->note_started(model_, source, note.key);
    stats.most_bends = std::max(stats.most_bends, bends_at_once_->bends(source));
  }

  const ChannelAllocator::Choice choice = allocator_.choose(source, tuning, place.key, note.key);
  const int o = choice.channel;
  switch (choice.way) {
    case Way::kNone:
      ++stats.dropped;
      ++report_.dropped;
      return;
    case Way::kPedalNotesEnded:
    case Way::kTakenOver:
      end_notes_on(o);
      break;
    case Way::kNearest: {
      ++stats.approximate;
      ++report_.approximate;
      const double off = std::abs(allocator_.tuning(o) - tuning) * bends_.range(state).in_semitones() * 100 / kBendCentre;
      report_.max_cents_off = std::max(report_.max_cents_off, off);
      break;
    }
    default:
      break;
  }
  if (allocator_.source_of(o) != source || choice.way == Way::kPedalNotesEnded) copy_state(o, source);
  declare_range(o, source);
  // A channel that starts afresh states its bend, whatever it held before;
  // an idle one of the same tuning may have missed the file's bends since.
  if (choice.way != Way::kNearest && (choice.way != Way::kShared || outputs_[o].bend != bend)) write_bend(o, bend);
  if (allocator_.sounding(o) == 0) cents_[o] = place.cents;
  end_stopped_notes(o, place.key);
  send_note(o, smf::kNoteOn, place.key, note.velocity);
  allocator_.note_on(o, source, choice.way == Way::kNearest ? allocator_.tuning(o) : tuning, place.key, note.key);
  note.mark = mark_of(o, place.key);
  stats.channels |= static_cast<uint16_t>(1u << o);
}

// Where a note is played and how far it is bent: by its key's tuning, and by
// its planned pitch where there is a plan, to the bend step nearest it as long
// as that keeps within the plan's reach.
NoteBends::PlacedKey PolyPlayer::place_note(uint8_t source, uint8_t key) {
  const ChannelState& state = model_.state(source);
  if (next_planned_ >= planned_.size()) return bends_.placed(source, state, key);
  const NoteSpan& plan = planned_[next_planned_++];
  const double planned = plan.pitch - 100.0 * plan.key;
  KeyPlace place = bends_.place(state, key, planned);
  const double nearest = bends_.nearest_step(state, place.cents);
  if (std::fabs(nearest - (place.cents - planned)) <= kMostPlanned) place.cents = nearest;
  return {place, bends_.tuning(state, place.cents)};
}

void PolyPlayer::key_released(uint8_t source, Note& note) {
  if (!takes_notes(source) || !placed(note)) return;
  allocator_.key_released(channel_of(note));
  note.mark |= kReleased;
}

// The note-off goes where the note was; for a note that a message stopped
// before, only while no other note sounds on its key there.
void PolyPlayer::note_off(uint8_t source, Note& note) {
  if (!takes_notes(source) || !placed(note)) return;
  const int o = channel_of(note);
  if (!note.sounding) {
    auto& stopped = stopped_[o][played_of(note)];
    const auto it = std::find(stopped.begin(), stopped.end(), std::pair(source, note.key));
    if (it != stopped.end()) stopped.erase(it);
  }
  send_note(o, smf::kind_of(event_->event.status), played_of(note), event_->event.data[1]);
}

void PolyPlayer::note_ended(uint8_t source, Note& note) {
  if (!takes_notes(source)) return;
  if (bends_at_once_) bends_at_once_->note_ended(source, note.key);
  if (!placed(note)) return;
  allocator_.note_ended(channel_of(note), played_of(note), note.mark & kReleased);
  if (note.off_due) stopped_[channel_of(note)][played_of(note)].emplace_back(source, note.key);
}

// A note stopped by a message gets its note-off where it was, at the latest
// before another note starts on its key there: later, the note-off would end
// that note instead.
void PolyPlayer::end_stopped_notes(int o, uint8_t played) {
  for (const auto& [source, key] : stopped_[o][played])
    for (Note& note : model_.notes(source, key))
      if (placed(note) && !note.sounding && note.off_due && channel_of(note) == o && played_of(note) == played) {
        send_note(o, smf::kNoteOff, played, 64);
        note.mark = 0;
      }
  stopped_[o][played].clear();
}

// Every channel is back at its defaults on the synthesizer as here; the
// model has ended every note.
void PolyPlayer::reset(const char* /*kind*/) {
  outputs_ = {};
  setup_pending_ = zone_.is_mpe();
  if (bends_at_once_) bends_at_once_->reset();
}

void PolyPlayer::poly_pressure(uint8_t source, uint8_t key, uint8_t value) {
  const std::vector<Note>& notes = model_.notes(source, key);
  for (auto note = notes.begin(); note != notes.end(); ++note) {
    auto same = [&](const Note& other) { return placed(other) && (other.mark & ~kReleased) == (note->mark & ~kReleased); };
    if (!note->sounding || !placed(*note) || std::any_of(notes.begin(), note, same)) continue;
    send_note(channel_of(*note), smf::kPolyPressure, played_of(*note), value);
  }
}

// The notes on output channel `o` end, to free it: those the pedal alone
// holds, by lifting the pedal there; or all of them, by their note-offs too,
// before the channel is taken over.
void PolyPlayer::end_notes_on(int o) {
  const int holder = allocator_.source_of(o);
  // The holder's other notes sound elsewhere: only the keys sounding here are looked at.
  const std::array<uint64_t, 2> keys = allocator_.keys_of(o);
  for (int word = 0; word < 2; ++word)
    for (uint64_t bits = keys[word]; bits; bits &= bits - 1) {
      const int key = 64 * word + std::countr_zero(bits);
      for (Note& note : model_.notes(holder, key)) {
        if (!note.sounding || !placed(note) || channel_of(note) != o) continue;
        // A note whose own note-off has not come gets one here.
        if (note.key_down || note.off_due) send_note(o, smf::kNoteOff, played_of(note), 64);
        note.mark = 0;
        ++report_.ended_early;
        ++report_.sources[holder].ended_early;
      }
    }
  if (outputs_[o].pedal_down()) send(o, smf::kController, kSustain, 0);
  if (outputs_[o].sostenuto_down()) send(o, smf::kController, kSostenuto, 0);
  allocator_.end_notes(o);
}

// The settings copy_state() copies one by one, in two words of 64: every
// controller that holds a value of its own, but the bank, which goes first.
constexpr std::array<uint64_t, 2> kCopiedSettings = [] {
  std::array<uint64_t, 2> words{};
  for (int c = 0; c < 128; ++c)
    if (ChannelState::is_setting(static_cast<uint8_t>(c)) && c != kBankSelect && c != kBankSelectLsb)
      words[c / 64] |= uint64_t{1} << (c % 64);
  return words;
}();

uint64_t word_of(const std::bitset<128>& bits, int word) {
  return (bits >> (64 * word) & std::bitset<128>(~uint64_t{0})).to_ullong();
}

// Output channel `o` takes on the whole state of `source`: every setting the
// source has, with its value even where that is a default, and every setting
// the channel had that the source never set put back to its default; the
// program after the bank, and last the parameter selection, so that the
// source's later data entry goes where it means.
void PolyPlayer::copy_state(int o, uint8_t source) {
  ChannelState& have = outputs_[o];
  const ChannelState& want = model_.state(source);
  if (zone_.is_mpe()) return copy_pressure(o, want);
  auto differs = [&](uint8_t c) {
    return (want.set[c] || have.set[c]) && !(have.set[c] && have.controllers[c] == want.controllers[c]);
  };
  const bool bank = differs(kBankSelect) || differs(kBankSelectLsb);
  if (bank) {
    set_controller(o, kBankSelect, want.controllers[kBankSelect]);
    set_controller(o, kBankSelectLsb, want.controllers[kBankSelectLsb]);
  }
  if (bank || ((want.program_set || have.program_set) && !(have.program_set && have.program == want.program)))
    send(o, smf::kProgram, want.program);
  // Only a controller that either side has set can differ: those are visited, in order.
  for (int word = 0; word < 2; ++word) {
    uint64_t bits = (word_of(want.set, word) | word_of(have.set, word)) & kCopiedSettings[word];
    for (; bits; bits &= bits - 1) {
      const auto c = static_cast<uint8_t>(64 * word + std::countr_zero(bits));
      if (!(have.set[c] && have.controllers[c] == want.controllers[c])) set_controller(o, c, want.controllers[c]);
    }
  }
  copy_pressure(o, want);
  copy_parameters(o, want);
  declare_range(o, source);
  select(o, want.selection);
}

void PolyPlayer::copy_pressure(int o, const ChannelState& want) {
  const ChannelState& have = outputs_[o];
  if ((want.pressure_set || have.pressure_set) && !(have.pressure_set && have.pressure == want.pressure))
    send(o, smf::kChannelPressure, want.pressure);
}

// Each half of a parameter value the source sent, where the channel holds
// another; each half the channel holds that the source never sent, put back
// to its default.
void PolyPlayer::copy_parameters(int o, const ChannelState& want) {
  auto unset = [](const Parameter& p) {
    const ParameterValue fallback = ChannelState::default_value(p);
    return ParameterValue{fallback.msb, fallback.lsb, false, false};
  };
  auto needed = [](bool want_set, uint8_t want, bool had_set, uint8_t had) {
    return want_set ? !(had_set && had == want) : had_set && had != want;
  };
  // Both are ordered: one walk over the parameters either holds, in order.
  // Data entry adds only the parameter at hand to the channel's, behind the walk.
  const auto& wants = want.parameters;
  const auto& haves = outputs_[o].parameters;
  for (auto w = wants.begin(), h = haves.begin(); w != wants.end() || h != haves.end();) {
    const bool from_want = h == haves.end() || (w != wants.end() && !(h->first < w->first));
    const bool from_have = w == wants.end() || (h != haves.end() && !(w->first < h->first));
    const Parameter p = from_want ? w->first : h->first;
    const ParameterValue v = from_want ? w->second : unset(p);
    const ParameterValue had = from_have ? h->second : unset(p);
    if (from_want) ++w;
    if (from_have) ++h;
    if (p.is_bend_range()) continue;
    const bool msb = needed(v.msb_set, v.msb, had.msb_set, had.msb);
    const bool lsb = needed(v.lsb_set, v.lsb, had.lsb_set, had.lsb);
    if (!msb && !lsb) continue;
    Selection selection;
    selection.nrpn = p.nrpn;
    uint8_t* numbers = p.nrpn ? selection.nrpn_number : selection.rpn;
    numbers[0] = p.msb;
    numbers[1] = p.lsb;
    select(o, selection);
    if (msb) send(o, smf::kController, kDataEntry, v.msb);
    if (lsb) send(o, smf::kController, kDataEntryLsb, v.lsb);
  }
}

// The bend range the source's notes are bent in, declared where the channel
// has another; the source's parameter selection is put back after it.
void PolyPlayer::declare_range(int o, uint8_t source) {
  const Range want = bends_.range(source, model_.state(source));
  const bool known = !method_.declare_bend_range || outputs_[o].parameters.contains(Parameter{false, 0, 0});
  if (outputs_[o].range == want && known) return;
  Selection bend_range;
  bend_range.rpn[0] = bend_range.rpn[1] = kBendRangeParameter;
  select(o, bend_range);
  send(o, smf::kController, kDataEntry, want.semitones);
  send(o, smf::kController, kDataEntryLsb, want.cents);
  // A member's data entry is the zone's setup alone: it is left selecting nothing.
  select(o, zone_.is_mpe() ? Selection{} : model_.state(source).selection);
}

// The MPE configuration message (registered parameter 6) on the manager
// channel, then each member's bend range. The parameter the sources had
// selected on the manager since a reset is selected again, so that their
// data entry still goes where they mean.
void PolyPlayer::configure_zone() {
  setup_pending_ = false;
  configured_ = true;
  const Selection sources_selection = outputs_[zone_.manager].selection;
  auto set = [&](int o, uint8_t parameter, uint8_t value, bool cents) {
    send(o, smf::kController, kRpnMsb, 0);
    send(o, smf::kController, kRpnLsb, parameter);
    send(o, smf::kController, kDataEntry, value);
    if (cents) send(o, smf::kController, kDataEntryLsb, 0);
    send(o, smf::kController, kRpnMsb, kNullParameter);
    send(o, smf::kController, kRpnLsb, kNullParameter);
  };
  set(zone_.manager, kMpeConfigurationParameter, static_cast<uint8_t>(zone_.members), false);
  for (unsigned bits = zone_.outputs; bits; bits &= bits - 1)
    set(std::countr_zero(bits), kBendRangeParameter, static_cast<uint8_t>(method_.bend_range), true);
  select(zone_.manager, sources_selection);
}

// An MPE zone has one sound: notes of sources with different programs
// sounding together all take the manager's.
void PolyPlayer::check_one_sound(uint8_t source) {
  const ChannelState& state = model_.state(source);
  auto sound = [](const ChannelState& s) {
    return std::tuple(s.program, s.controllers[kBankSelect], s.controllers[kBankSelectLsb]);
  };
  for (int c = 0; c < kChannels; ++c)
    if (c != source && takes_notes(c) && model_.sounding(c) > 0 && sound(model_.state(c)) != sound(state))
      report_.one_sound = true;
}

// Selects the parameters of `want` on output channel `o`, the kind selected
// last in `want` last: numbers of the other kind sent first select that kind,
// so the wanted kind's are sent after them even where they are the same.
void PolyPlayer::select(int o, const Selection& want) {
  const Selection& have = outputs_[o].selection;  // follows what is sent
  if (have == want) return;
  auto numbers = [&](uint8_t msb, const uint8_t* values) {
    send(o, smf::kController, msb, values[0]);
    send(o, smf::kController, static_cast<uint8_t>(msb - 1), values[1]);
  };
  const uint8_t* want_other = want.nrpn ? want.rpn : want.nrpn_number;
  const uint8_t* have_other = want.nrpn ? have.rpn : have.nrpn_number;
  if (!std::equal(have_other, have_other + 2, want_other)) numbers(want.nrpn ? kRpnMsb : kNrpnMsb, want_other);
  if (!(have == want)) numbers(want.nrpn ? kNrpnMsb : kRpnMsb, want.nrpn ? want.nrpn_number : want.rpn);
}

}  // namespace

PolyReport retune_poly(io::Bytes input, const KeyTable& keys, const Method& method, io::Spool* spool,
                       io::ByteSink& out, PitchPlanner* planner, bool count_bends) {
  const smf::File file = smf::read_file(std::move(input));
  std::vector<TrackWriter> writers = smf::track_writers(file, spool != nullptr);
  const Zone zone = zone_for(method, file);
  PolyReport report;
  for (const std::vector<size_t>& tracks : smf::timelines(file))
    PolyPlayer(keys, method, zone, file.tracks.size(), report,
               planner ? planner->plan(file, tracks) : std::vector<NoteSpan>{}, count_bends)
        .play(file, tracks, writers, spool);
  smf::write_file(file, writers, spool, out);
  return report;
}

std::string retune_poly(io::Bytes input, const KeyTable& keys, const Method& method, PolyReport* report) {
  io::MemorySink sink;
  const PolyReport made = retune_poly(std::move(input), keys, method, nullptr, sink);
  if (report) *report = made;
  return sink.bytes();
}

}  // namespace retune
