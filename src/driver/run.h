// The program: command line, run sequence and the failures it reports.
#pragma once

#include <functional>
#include <string>

#include "driver/cli.h"

namespace retune::driver {

// The whole program; returns the exit status.
int run(int argc, char** argv);

// The tuning of the 128 keys, as far as the method can play it: --mts sends
// twelve offsets within its range; the bend methods play a key beyond their
// range on its nearest key, and --mts=keys has no range.
KeyTable playable_tuning(const TuningChoice& choice, const Method& method);

// One file's run, from `infile` to `outfile` (the standard streams where
// null): scratch file, input, output, then the tuning from `tuning`, then
// the two passes. A failure is thrown; on success the outfile is in place.
Counts retune_file(const char* infile, const char* outfile, const Method& method,
                   const std::function<KeyTable()>& tuning);

// What --verbose says about a run, after the program's or the file's name.
std::string verbose_report(const Counts& counts, const Method& method);

}  // namespace retune::driver
