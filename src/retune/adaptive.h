// Adaptive just intonation: every note gets one pitch, planned over the whole
// piece before any is played, so that the consonances among the notes that
// sound together come out just, the pitch level stays where equal
// temperament has it, and no note moves while it sounds.
//
// The plan is one sparse weighted least-squares problem over the notes of a
// timeline. Each pair of notes that sound together in an interval class with
// a just target (intonation.h) adds w (x_i - x_j - t_ij)^2, x being a note's
// offset in cents from its key and t_ij the just interval's deviation from
// the tempered one. The weights:
//   w = class weight (unison, octave, fifth, fourth 1; thirds and sixths 0.8)
//       x overlap (0.25 + the time they share, in quarter notes, up to 1)
//       x loudness (the mean velocity / 127, at least 0.25)
//       x 2 when one of the two is the lowest note sounding when the later starts.
// The pitch level is held by the mean offset of the notes starting in each
// stretch of eight quarter notes, A n mean^2 with A = 0.6: a chord keeps its
// just shape, while the comma a progression pumps through held notes is
// pulled back to equal temperament's level. Each note adds 0.01 x_i^2 too.
// Conjugate gradient solves the normal equations, each iteration linear in
// the notes and pairs. Later rounds weigh each pair by 1 / (1 + (r/1.5)^2), r
// its deviation from just in the round before, but at least 1/50: a pair far
// off weighs little, so that an unavoidable comma ends on a few pairs rather
// than a little on many (least squares would leave every pair a little off),
// and such a wolf stays near a comma. Offsets are clamped to +-30 cents.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "retune/intonation.h"
#include "retune/method.h"
#include "retune/poly.h"
#include "smf/smf_file.h"

namespace retune {

// The notes of one timeline on the channels `method` retunes (not channel 10,
// nor skipped ones), in the order the channel model starts them.
std::vector<NoteSpan> timeline_notes(const smf::File& file, const std::vector<size_t>& tracks, const Method& method);

struct PlanFigures {
  uint64_t notes = 0;
  uint64_t pairs = 0;       // pairs of notes with a just target that sound together
  int iterations = 0;       // conjugate-gradient iterations, all rounds
  uint64_t clamped = 0;     // notes held to 30 cents
};

// Each note's offset in cents from its equal-tempered key. `ticks_per_quarter`
// scales the overlap weights. With `keys_shared` (tuning changes of keys, not
// notes), notes sounding together on one key get one pitch.
std::vector<double> plan_offsets(std::span<const NoteSpan> notes, int ticks_per_quarter, bool keys_shared,
                                 PlanFigures* figures = nullptr);

// The plan of every timeline of a file, for the polyphonic mode to play; and
// what the plans came to.
class AdaptivePlanner final : public PitchPlanner {
 public:
  explicit AdaptivePlanner(const Method& method) : method_(method) {}
  std::vector<NoteSpan> plan(const smf::File& file, const std::vector<size_t>& tracks) override;

  const PlanFigures& figures() const { return figures_; }
  const Intonation& intonation() const { return intonation_; }

 private:
  const Method& method_;
  PlanFigures figures_;
  Intonation intonation_;
};

}  // namespace retune
