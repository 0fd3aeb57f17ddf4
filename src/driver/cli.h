// The command line: what it asks for, and the texts that explain it.
#pragma once

#include <string>
#include <vector>

#include "retune/retune.h"
#include "retune/tunings.h"

namespace retune::driver {

struct Options {
  enum class Action { kRetune, kHelp, kVersion, kListTunings, kPrintOffsets, kAnalyze };
  Action action = Action::kRetune;
  TuningChoice tuning;
  Method method;
  bool verbose = false;
  const char* infile = nullptr;   // standard input when null
  const char* outfile = nullptr;  // standard output when null
  std::vector<const char*> analyzed;  // --analyze: the files; none for standard input
  bool json = false;                  // --analyze reports in JSON
};

// Reads argv; a command line it cannot take is a Failure with status 4.
Options parse_command_line(int argc, char** argv);

// The usage text, with the program's name.
std::string usage_text(const char* program);
std::string help_text(const char* program);

}  // namespace retune::driver
