// Many files in one run: each retuned exactly as a single run would retune
// it, several at a time by a few long-lived worker processes, with one line
// for each failure and a summary at the end.
#pragma once

#include <cstdint>
#include <string>

#include "driver/cli.h"

namespace retune::driver {

// Retunes options.files into options.output_dir, or each in place. Returns 0
// when every file was retuned, else the exit status of the first file, in
// the order given, that failed.
int run_batch(const Options& options);

}  // namespace retune::driver
