#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "driver/run.h"

namespace retune::driver {

namespace {

constexpr char kUsage[] =
    "usage: %s c1 c2 c3 c4 c5 c6 c7 c8 c9 c10 c11 c12 [infile [outfile]]\n"
    "c1,..,c12 are the fine tunings of pitches starting from C, in cents. \n"
    "Maximal +-200 cent. If no outfile specified writes on standard output.\n"
    "If no input file specified reads from standard input and writes on standard output.\n"
    "Will change tuning of input MIDI file infile. This file must contain only\n"
    "monophonic tracks (no chords)\n";

constexpr char kOptionsHelp[] =
    "\n"
    "Options (before the other arguments; -- ends them):\n"
    "  -h, --help        print this help and exit\n"
    "      --version     print the version and exit\n"
    "      --verbose     report what was inserted on standard error\n";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

[[noreturn]] void usage_failure(const char* program) {
  throw io::Failure(io::kExitBadArguments, usage_text(program));
}

}  // namespace

std::string usage_text(const char* program) {
  const int size = std::snprintf(nullptr, 0, kUsage, program);
  std::string text(static_cast<size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, kUsage, program);
  return text;
}

std::string help_text(const char* program) { return usage_text(program) + kOptionsHelp; }

std::optional<double> parse_cents(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  const size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) ++digits;
  if (i < text.size() && text[i] == '.')
    for (++i; i < text.size() && is_digit(text[i]); ++i) ++digits;
  if (digits == 0) return std::nullopt;
  size_t end = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const size_t exponent = j;
    while (j < text.size() && is_digit(text[j])) ++j;
    if (j > exponent) end = j;  // "1e" is 1
  }
  // The text is now plain decimal, so strtod rounds it correctly and cannot
  // wander into hexadecimal, "inf" or "nan".
  const std::string number(text.substr(start, end - start));
  return std::strtod(number.c_str(), nullptr);
}

Options parse_command_line(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "retune";
  Options options;
  if (argc == 2 && std::strcmp(argv[1], "-h") == 0) {
    options.action = Options::Action::kHelp;
    return options;
  }
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help") {
      options.action = Options::Action::kHelp;
    } else if (arg == "--version") {
      options.action = Options::Action::kVersion;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      io::fail(io::kExitBadArguments, "Unknown option \"%s\"; see %s --help\n", argv[i], program);
    }
  }
  if (options.action != Options::Action::kRetune) return options;

  const int positional = argc - i;
  if (positional < kPitchClasses || positional > kPitchClasses + 2) usage_failure(program);
  for (int k = 0; k < kPitchClasses; ++k) options.offsets.push_back(argv[i++]);
  if (i < argc) options.infile = argv[i++];
  if (i < argc) options.outfile = argv[i++];
  return options;
}

Tuning resolve_tuning(const Options& options) {
  Tuning cent{};
  const double limit = max_offset(options.method);
  for (int k = 0; k < kPitchClasses; ++k) {
    const std::optional<double> value = parse_cents(options.offsets[k]);
    if (!value || !(std::fabs(*value) <= limit))
      io::fail(io::kExitBadArguments, "Invalid tuning offset \"%s\" for %s: expected cents from -%g to %g\n",
               options.offsets[k], kPitchClassNames[k], limit, limit);
    cent[k] = *value;
  }
  return cent;
}

}  // namespace retune::driver
