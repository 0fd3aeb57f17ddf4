#include "channel/channel_model.h"

#include <algorithm>

namespace retune {

using namespace smf::gm;

namespace {
constexpr size_t kMostNotesPerKey = 64;
}  // namespace

ChannelModel::ChannelModel(ChannelListener& listener, size_t tracks, bool follow_bends)
    : listener_(listener), follow_bends_(follow_bends), sysex_(tracks) {}

void ChannelModel::take(const smf::TimedEvent& event, size_t track) {
  const uint8_t status = event.event.status;
  if (smf::is_sysex(status)) {
    if (!sysex_[track].take(event.event, event.payload())) return;
    if (const char* kind = smf::reset_kind(sysex_[track].message())) reset(kind);
    return;
  }
  if (smf::class_of(status) != smf::StatusClass::kChannel || is_malformed(event.event)) return;
  const uint8_t channel = smf::channel_of(status);
  const uint8_t kind = smf::kind_of(status);
  const uint8_t data1 = event.event.data[0];
  const uint8_t data2 = event.event.data[1];
  switch (kind) {
    case smf::kNoteOn:
      if (data2 > 0) note_on(channel, data1, data2);
      else note_off(channel, data1);
      break;
    case smf::kNoteOff:
      note_off(channel, data1);
      break;
    case smf::kController:
      controller(channel, data1, data2);
      break;
    case smf::kPitchBend:
      if (!follow_bends_) break;
      channels_[channel].state.apply(kind, data1, data2);
      listener_.bend_changed(channel);
      break;
    default:
      channels_[channel].state.apply(kind, data1, data2);
      break;
  }
}

void ChannelModel::note_on(uint8_t channel, uint8_t key, uint8_t velocity) {
  Channel& c = channels_[channel];
  std::vector<Note>& notes = c.keys[key];
  // A file that stops its notes with messages and never sends their
  // note-offs must not make the list grow without end.
  if (notes.size() >= kMostNotesPerKey) {
    const auto stale = std::find_if(notes.begin(), notes.end(), [](const Note& n) { return !n.sounding; });
    if (stale != notes.end()) notes.erase(stale);
  }
  notes.push_back({.key = key, .velocity = velocity});
  ++c.sounding;
  listener_.note_started(channel, notes.back());
}

// A note-off ends the oldest note of its key still held down; failing that,
// it is the note-off still due of one that a message released or stopped.
void ChannelModel::note_off(uint8_t channel, uint8_t key) {
  Channel& c = channels_[channel];
  std::vector<Note>& notes = c.keys[key];
  size_t i = 0;
  while (i < notes.size() && !notes[i].key_down) ++i;
  if (i == notes.size()) {
    i = 0;
    while (i < notes.size() && !notes[i].off_due) ++i;
    if (i == notes.size()) return;
  }
  Note& note = notes[i];
  if (note.key_down && note.sounding) listener_.key_released(channel, note);
  note.key_down = false;
  note.off_due = false;
  listener_.note_off(channel, note);
  if (!note.sounding) notes.erase(notes.begin() + static_cast<ptrdiff_t>(i));
  else if (!held(c.state, note)) end(channel, notes, i);
}

void ChannelModel::controller(uint8_t channel, uint8_t controller, uint8_t value) {
  ChannelState& state = channels_[channel].state;
  const bool sostenuto_was_down = state.sostenuto_down();
  const Change change = state.apply(smf::kController, controller, value);
  switch (controller) {
    case kSustain:
      end_unheld(channel);
      break;
    case kSostenuto:
      // Pressed, it catches the notes whose keys are down; released, it lets them go.
      if (state.sostenuto_down() && !sostenuto_was_down)
        for (auto& notes : channels_[channel].keys)
          for (Note& note : notes) note.sostenuto = note.key_down;
      end_unheld(channel);
      break;
    case kResetAllControllers:
      end_unheld(channel);
      break;
    case kAllSoundOff:
      stop_all(channel);
      break;
    default:
      if (controller >= kAllNotesOff) release_all(channel);
      break;
  }
  if (change == Change::kBendRange || change == Change::kResetControllers) listener_.bend_changed(channel);
}

void ChannelModel::release_all(uint8_t channel) {
  // Only a sounding note can have its key down.
  if (channels_[channel].sounding == 0) return;
  for (auto& notes : channels_[channel].keys)
    for (Note& note : notes)
      if (note.key_down) {
        note.key_down = false;
        note.off_due = true;
        listener_.key_released(channel, note);
      }
  end_unheld(channel);
}

void ChannelModel::end_unheld(uint8_t channel) {
  Channel& c = channels_[channel];
  // The sustain pedal down holds every note.
  if (c.sounding == 0 || c.state.pedal_down()) return;
  for (auto& notes : c.keys)
    for (size_t i = notes.size(); i-- > 0;)
      if (notes[i].sounding && !held(c.state, notes[i])) end(channel, notes, i);
}

void ChannelModel::stop_all(uint8_t channel) {
  Channel& c = channels_[channel];
  // A note that no longer sounds has its key up already.
  if (c.sounding == 0) return;
  for (auto& notes : c.keys)
    for (size_t i = notes.size(); i-- > 0;) {
      if (notes[i].key_down) notes[i].key_down = false, notes[i].off_due = true;
      if (notes[i].sounding) end(channel, notes, i);
    }
}

// A note stops sounding; it is forgotten unless its note-off is still to come.
void ChannelModel::end(uint8_t channel, std::vector<Note>& notes, size_t index) {
  Note& note = notes[index];
  note.sounding = false;
  --channels_[channel].sounding;
  listener_.note_ended(channel, note);
  if (!note.off_due) notes.erase(notes.begin() + static_cast<ptrdiff_t>(index));
}

void ChannelModel::reset(const char* kind) {
  for (uint8_t channel = 0; channel < kChannels; ++channel) {
    stop_all(channel);
    channels_[channel].state = ChannelState{};
  }
  listener_.reset(kind);
}

}  // namespace retune
