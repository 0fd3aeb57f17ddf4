// The program: command line, run sequence and the failures it reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "retune/retune.h"

namespace retune::driver {

// What the command line asks for.
struct Options {
  enum class Action { kRetune, kHelp, kVersion, kListTunings, kPrintOffsets };
  Action action = Action::kRetune;
  std::vector<const char*> offsets;  // the twelve positional offsets, as given
  std::string tuning_name;           // --tuning
  std::string scl_path;              // --scl
  std::string kbm_path;              // --kbm
  std::optional<int> root;           // --root, a pitch class
  Method method;
  bool verbose = false;
  const char* infile = nullptr;
  const char* outfile = nullptr;

  bool named_tuning() const { return !tuning_name.empty() || !scl_path.empty(); }
};

// Reads argv; a command line it cannot take is a Failure with status 4.
Options parse_command_line(int argc, char** argv);

// The usage text, with the program's name.
std::string usage_text(const char* program);
std::string help_text(const char* program);

// Reads one offset in cents: white space, sign, decimal digits with an
// optional point, optional exponent; what follows is ignored. Nothing when no
// number is there; an infinity when it is too large for a double.
std::optional<double> parse_cents(std::string_view text);

// The offsets the command line asks for, checked against the range `method`
// can express.
Tuning resolve_tuning(const Options& options);

// Offsets as positional arguments that read back exactly.
std::string format_offsets(const Tuning& cent);

// The built-in tunings, described, with their offsets from C.
std::string list_tunings();

// The whole program; returns the exit status.
int run(int argc, char** argv);

}  // namespace retune::driver
