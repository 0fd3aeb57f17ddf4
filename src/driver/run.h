// The program: command line, run sequence and the failures it reports.
#pragma once

#include <functional>
#include <string>

#include "driver/cli.h"
#include "retune/poly.h"

namespace retune::driver {

// The whole program; returns the exit status.
int run(int argc, char** argv);

// The tuning of the 128 keys, as far as the method can play it: --mts sends
// twelve offsets within its range; the bend methods play a key beyond their
// range on its nearest key, and --mts=keys has no range.
KeyTable playable_tuning(const TuningChoice& choice, const Method& method);

// What a run did: the passes' counts, or what --poly did.
struct FileReport {
  Counts counts;
  PolyReport poly;
};

// One file's run, from `infile` to `outfile` (the standard streams where
// null): scratch file, input, output, then the tuning from `tuning`, then
// the two passes; under --poly, input, output, tuning, and the whole file
// at once. A failure is thrown; on success the outfile is in place.
FileReport retune_file(const char* infile, const char* outfile, const Method& method,
                       const std::function<KeyTable()>& tuning);

// What --verbose says about a run, after the program's or the file's name.
std::string verbose_report(const FileReport& report, const Method& method);
// What a run says even without --verbose, after the name: notes that --poly
// played out of tune or left out. Empty when there are none.
std::string warnings(const FileReport& report);

}  // namespace retune::driver
