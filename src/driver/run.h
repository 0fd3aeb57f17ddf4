// The program: command line, run sequence and the failures it reports.
#pragma once

namespace retune::driver {

// The whole program; returns the exit status.
int run(int argc, char** argv);

}  // namespace retune::driver
