// How in tune the notes of a piece are with each other: the pairs of notes
// that sound together, each counted once at the later of its two onsets, and
// how near the consonances among them are to just; how far the pitch level
// drifts; how far notes stray from their equal-tempered keys; how often a
// bend moves notes that sound. The adaptive planner plans by the same notes
// and reports by this measure, and --analyze measures any file's bends by it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "channel/channel_model.h"
#include "tuning/tuning_table.h"

namespace retune {

// A note of a timeline as the channel model starts and ends it.
struct NoteSpan {
  uint64_t start = 0;
  uint64_t end = 0;  // when it stops sounding, the pedal's hold included
  uint8_t channel = 0;
  uint8_t key = 0;
  uint8_t velocity = 0;
  double pitch = 0;  // cents above key 0 of equal temperament, as sounded
};

// Collects the notes of a timeline for a listener of the channel model, which
// passes on what it hears; a note's mark holds its slot among the notes
// still sounding.
class NoteSpans {
 public:
  void started(uint64_t tick, uint8_t channel, Note& note);
  void ended(uint64_t tick, Note& note);
  // The notes in the order they started; those still sounding end at `tick`.
  std::vector<NoteSpan> finish(uint64_t tick);

  std::vector<NoteSpan>& notes() { return notes_; }
  const std::vector<NoteSpan>& notes() const { return notes_; }

 private:
  static constexpr size_t kFree = SIZE_MAX;
  std::vector<NoteSpan> notes_;
  std::vector<size_t> open_;  // per slot, the note in it
  std::vector<size_t> free_;
};

// Deviation from equal temperament, in cents, of the just interval each
// interval class aims at: 3/2, 4/3, 5/4, 6/5, 5/3, 8/5, and the unison and
// octave; none for the classes left free.
bool just_target(int semitones, double& deviation);

struct Intonation {
  uint64_t notes = 0;
  uint64_t pairs = 0;         // consonant pairs judged (classes 3, 4, 5, 7, 8, 9)
  uint64_t pure = 0;          // of them within 2 cents of just
  double rms = 0;             // their deviation from just, cents
  double largest = 0;
  uint64_t octave_pairs = 0;  // unisons and octaves, apart
  uint64_t octaves_pure = 0;
  double drift = 0;           // mean (pitch - key) of the last tenth's notes minus the first tenth's
  double farthest = 0;        // the largest |pitch - key|
  uint64_t bends_on_held_notes = 0;  // bend changes on a channel while a note started before sounds there

  double purity() const { return pairs ? static_cast<double>(pure) / static_cast<double>(pairs) : 1.0; }
};

// Notes in the order they start, pitched.
Intonation measure_intonation(std::span<const NoteSpan> notes);

}  // namespace retune
