// The command line: what it asks for, and the texts that explain it.
#pragma once

#include <string>
#include <vector>

#include "retune/export.h"
#include "retune/retune.h"
#include "tuning/tunings.h"

namespace retune::driver {

struct Options {
  enum class Action { kRetune, kHelp, kVersion, kListTunings, kPrintOffsets, kAnalyze, kExport };
  Action action = Action::kRetune;
  TuningChoice tuning;
  Method method;
  bool verbose = false;
  bool json = false;  // --analyze reports in JSON
  ExportFormat export_format = ExportFormat::kScl;  // with --export
  const char* infile = nullptr;   // standard input when null
  const char* outfile = nullptr;  // standard output when null

  // Many files in one run: each into output_dir, or each replaced in place.
  const char* output_dir = nullptr;
  bool in_place = false;
  int jobs = 0;  // worker processes; 0: one per CPU
  std::vector<const char*> files;  // with --analyze: the files to look at, none for standard input

  bool batch() const { return output_dir || in_place; }
};

// Reads argv; a command line it cannot take is a Failure with status 4.
Options parse_command_line(int argc, char** argv);

// The usage text, with the program's name.
std::string usage_text(const char* program);
std::string help_text(const char* program);

}  // namespace retune::driver
