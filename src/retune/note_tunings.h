// The planned pitches played by MIDI Tuning Standard single note tuning
// changes (--adaptive --mts=keys): just before a note-on, its key is tuned to
// the note's pitch, unless another note sounds on that key, which a change
// would move. The retuned channels select tuning program 0 of bank 0 at the
// start and after every reset; channel 10 and skipped channels are left alone.
#pragma once

#include <cstdint>
#include <string>

#include "io/byte_io.h"
#include "retune/method.h"
#include "retune/poly.h"
#include "tuning/tuning_table.h"

namespace retune {

struct NoteTuningReport {
  uint64_t notes = 0;
  uint64_t changes = 0;      // single note tuning changes written
  uint64_t key_sounding = 0;  // notes that kept the tuning of a note sounding on their key
};

NoteTuningReport retune_note_tunings(io::Bytes input, const KeyTable& keys, const Method& method, io::Spool* spool,
                                     io::ByteSink& out, PitchPlanner& planner);

}  // namespace retune
