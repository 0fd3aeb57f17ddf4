// The program: the command line, what it asks for, and the failures it
// reports.
#pragma once

namespace retune::driver {

// The whole program; returns the exit status.
int run(int argc, char** argv);

}  // namespace retune::driver
