// What the sixteen channels of a timeline are doing, by MIDI's own rules: the
// settings of each (channel_state.h) and the notes that sound on it. Fed the
// events of one time-merged walk, it tells a listener when a note starts,
// when its note-off comes, when it stops sounding and when the bend it is
// played with changes; every method that cares about notes listens to it.
//
// A note sounds from its note-on until its note-off, or longer while the
// sustain pedal, or the sostenuto pedal that caught it, holds it down. All
// notes off and the other channel mode messages act as a note-off for every
// note; all sound off, and a GM, GM2, GS or XG reset, stop every note at
// once. A note stopped by such a message still waits for its own note-off.
// A channel message with a data byte of 128 or more is none of these: no
// synthesizer could take it, and the model passes it by.
//
//   channel_state.h      a channel's settings, followed message by message
//   channel_model.h      the sixteen channels and their notes (this header)
//   channel_allocator.h  output channels for notes that each need a bend of their own
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "channel/channel_state.h"
#include "smf/smf_file.h"
#include "smf/sysex.h"

namespace retune {

struct Note {
  uint8_t key = 0;
  uint8_t velocity = 0;
  bool key_down = true;    // its note-off has not come, nor a message acting as one
  bool sostenuto = false;  // the sostenuto pedal caught it
  bool sounding = true;
  bool off_due = false;    // released or stopped by a message: its own note-off is still to come
  uint16_t mark = 0;       // the listener's own: where it put the note, say
};

class ChannelListener {
 public:
  virtual ~ChannelListener() = default;
  virtual void note_started(uint8_t /*channel*/, Note& /*note*/) {}
  // A sounding note's key went up, by its note-off or a message acting as
  // one; a pedal may hold it on.
  virtual void key_released(uint8_t /*channel*/, Note& /*note*/) {}
  // A note-off message for `note`: one that sounds, or one a message stopped before.
  virtual void note_off(uint8_t /*channel*/, Note& /*note*/) {}
  virtual void note_ended(uint8_t /*channel*/, Note& /*note*/) {}
  // The file's bend, bend range or the controllers' reset changed what the
  // channel's notes are bent by.
  virtual void bend_changed(uint8_t /*channel*/) {}
  // A reset of `kind` (GM, GM2, GS or XG): every channel back at its
  // defaults, every note stopped.
  virtual void reset(const char* /*kind*/) {}
};

class ChannelModel {
 public:
  // Without `follow_bends` the file's own pitch bends are passed by: every
  // channel stays at the centre.
  ChannelModel(ChannelListener& listener, size_t tracks, bool follow_bends = true);

  // Follows one event of track `track`.
  void take(const smf::TimedEvent& event, size_t track);

  const ChannelState& state(int channel) const { return channels_[channel].state; }
  // The notes of a key on a channel, oldest first.
  std::vector<Note>& notes(int channel, int key) { return channels_[channel].keys[key]; }
  int sounding(int channel) const { return channels_[channel].sounding; }

  // Whether a data byte makes the channel message one a synthesizer cannot take.
  static bool is_malformed(const smf::Event& event) { return (event.data[0] | event.data[1]) & smf::kStatusBit; }

 private:
  struct Channel {
    ChannelState state;
    std::array<std::vector<Note>, 128> keys;
    int sounding = 0;
  };

  void note_on(uint8_t channel, uint8_t key, uint8_t velocity);
  void note_off(uint8_t channel, uint8_t key);
  void controller(uint8_t channel, uint8_t controller, uint8_t value);
  // Every note of a key released, as by a note-off of its own, its note-off still due.
  void release_all(uint8_t channel);
  // Every sounding note that no key or pedal holds any more stops.
  void end_unheld(uint8_t channel);
  void stop_all(uint8_t channel);
  void end(uint8_t channel, std::vector<Note>& notes, size_t index);
  bool held(const ChannelState& state, const Note& note) const {
    return note.key_down || state.pedal_down() || (note.sostenuto && state.sostenuto_down());
  }
  void reset(const char* kind);

  ChannelListener& listener_;
  bool follow_bends_;
  std::array<Channel, smf::gm::kChannels> channels_;
  std::vector<smf::SysExJoiner> sysex_;  // per track: a reset may come in packets
};

}  // namespace retune
