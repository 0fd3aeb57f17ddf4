// One file's retuning, from its input to its output, by any method.
#pragma once

#include <functional>
#include <optional>

#include "driver/cli.h"
#include "retune/adaptive.h"
#include "retune/analyze.h"
#include "retune/note_tunings.h"
#include "retune/pitch.h"
#include "retune/poly.h"

namespace retune::driver {

// The tuning of the 128 keys, as far as the method can play it: --mts sends
// twelve offsets within its range; the bend methods play a key beyond their
// range on its nearest key, and --mts=keys has no range.
KeyTable playable_tuning(const TuningChoice& choice, const Method& method);

// What a run did: the passes' counts, or what --poly did; and, when asked
// for, what the input plays as --analyze sees it.
struct FileReport {
  Counts counts;
  PolyReport poly;
  Reach reach;  // the keys the method could not sound at their pitch
  NoteTuningReport note_tunings;    // --adaptive --mts=keys
  std::optional<PlanFigures> plan;  // --adaptive: the plan, and how its notes sound together
  Intonation intonation;
  std::optional<Analysis> analysis;
};

// One file's run, from `infile` to `outfile` (the standard streams where
// null): input, output, the scratch file where the output is not a new
// file, then the tuning from `tuning`, then the two passes; under --poly,
// input, output, tuning, and the whole file at once, with a scratch file
// once a track's output grows large. A failure is thrown; on success the outfile is in place. With
// `analyze`, the input is also analysed as it is read, for the plain method's
// hint. With `verbose`, --poly also counts the bends its channels needed at once.
FileReport retune_file(const char* infile, const char* outfile, const Method& method,
                       const std::function<KeyTable()>& tuning, bool analyze = false, bool verbose = false);

}  // namespace retune::driver
