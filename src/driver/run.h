// The program: command line, run sequence and the failures it reports.
#pragma once

#include <functional>
#include <string>

#include "driver/cli.h"

namespace retune::driver {

// The whole program; returns the exit status.
int run(int argc, char** argv);

// The tuning as the passes take it: twelve offsets, each within the method's
// range.
Tuning pitch_class_offsets(const TuningChoice& choice, const Method& method);

// One file's run, from `infile` to `outfile` (the standard streams where
// null): scratch file, input, output, then the offsets from `tuning`, then
// the two passes. A failure is thrown; on success the outfile is in place.
Counts retune_file(const char* infile, const char* outfile, const Method& method,
                   const std::function<Tuning()>& tuning);

// What --verbose says about a run, after the program's or the file's name.
std::string verbose_report(const Counts& counts, const Method& method);

}  // namespace retune::driver
