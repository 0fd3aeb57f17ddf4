// The command line: options anywhere before the tuning and the files, the
// usage and help texts.
#include "driver/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "retune/scala.h"

namespace retune::driver {

namespace {

constexpr double kMinA4 = 220, kMaxA4 = 880;

constexpr char kUsage[] =
    "usage: %s c1 c2 c3 c4 c5 c6 c7 c8 c9 c10 c11 c12 [infile [outfile]]\n"
    "c1,..,c12 are the fine tunings of pitches starting from C, in cents. \n"
    "Maximal +-200 cent. If no outfile specified writes on standard output.\n"
    "If no input file specified reads from standard input and writes on standard output.\n"
    "Will change tuning of input MIDI file infile. This file must contain only\n"
    "monophonic tracks (no chords)\n";

constexpr char kOptionsHelp[] =
    "\n"
    "The limits above are those of the default method: a pitch bend after each\n"
    "note-on, for synths bending 2 semitones. A bend moves the whole channel, hence\n"
    "no chords. The output options below lift them: --bend-range N allows offsets\n"
    "up to N*100 cents, and --mts keeps chords in tune.\n"
    "\n"
    "Options: they come before the other arguments, and -- ends them.\n"
    "\n"
    "Tuning (in place of c1 ... c12, leaving [infile [outfile]]):\n"
    "  --tuning NAME       a built-in tuning; see --list-tunings\n"
    "  --scl FILE          a Scala scale of any size and period; without --kbm, 12 notes\n"
    "                      repeat on every octave, other sizes run on from key 60\n"
    "  --kbm FILE          with --scl, a Scala keyboard mapping: which key plays which\n"
    "                      degree, and the reference key's frequency\n"
    "  --root PC           put the tuning's first degree on pitch class PC (C, C#, Db,\n"
    "                      ..., B, or 0-11); the default is C\n"
    "  --a4 HZ             shift the whole tuning so that A4 (key 69) sounds at HZ\n"
    "                      (220-880, e.g. 415 for Baroque pitch); not with --kbm\n"
    "  --list-tunings      list the built-in tunings with their offsets from C, and exit\n"
    "  --print-offsets     print the twelve offsets the command would use (or, for a\n"
    "                      tuning per key, each key and its offset), and exit\n"
    "\n"
    "Output:\n"
    "  --mts               one MIDI Tuning Standard message (scale/octave tuning) at the\n"
    "                      start and after every reset, instead of pitch bends: chords\n"
    "                      stay in tune; offsets from -100 to 100 cents\n"
    "  --bend-range N      synths bending N semitones (1-24) either way: scale the bends\n"
    "                      to it and set it at the start of the file\n"
    "  --skip-channel N    leave channel N (1-16) alone; may be repeated\n"
    "  --skip-drums        leave channel 10 alone\n"
    "\n"
    "Other:\n"
    "  --verbose           report on standard error what was inserted\n"
    "  -h, --help          print this help and exit\n"
    "  --version           print the version and exit\n";

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

namespace {

[[noreturn]] void refuse(const char* format, const char* value = "") {
  io::fail(io::kExitBadArguments, format, value);
}

int parse_number(const char* text, int low, int high, const char* option) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno || end == text || *end != '\0' || value < low || value > high)
    io::fail(io::kExitBadArguments, "Invalid value \"%s\" for %s: expected %d to %d\n", text, option, low, high);
  return static_cast<int>(value);
}

}  // namespace

Options parse_command_line(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "retune";
  Options options;
  if (argc == 2 && std::strcmp(argv[1], "-h") == 0) {
    options.action = Options::Action::kHelp;
    return options;
  }
  bool bend_range_given = false;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    // --name=value or --name value
    const char* value = nullptr;
    const size_t equals = arg.find('=');
    if (equals != std::string_view::npos) {
      value = argv[i] + equals + 1;
      arg = arg.substr(0, equals);
    }
    auto take_value = [&]() -> const char* {
      if (value) return value;
      if (i + 1 >= argc)
        io::fail(io::kExitBadArguments, "Option %.*s needs a value; see %s --help\n", static_cast<int>(arg.size()),
                 arg.data(), program);
      return argv[++i];
    };
    auto no_value = [&] {
      if (value)
        io::fail(io::kExitBadArguments, "Option %.*s takes no value\n", static_cast<int>(arg.size()), arg.data());
    };
    if (arg == "--help") {
      no_value();
      options.action = Options::Action::kHelp;
    } else if (arg == "--version") {
      no_value();
      options.action = Options::Action::kVersion;
    } else if (arg == "--list-tunings") {
      no_value();
      options.action = Options::Action::kListTunings;
    } else if (arg == "--print-offsets") {
      no_value();
      if (options.action == Options::Action::kRetune) options.action = Options::Action::kPrintOffsets;
    } else if (arg == "--verbose") {
      no_value();
      options.verbose = true;
    } else if (arg == "--tuning") {
      options.tuning.name = take_value();
      if (options.tuning.name.empty()) refuse("Option --tuning needs a name\n");
    } else if (arg == "--scl") {
      options.tuning.scl_path = take_value();
      if (options.tuning.scl_path.empty()) refuse("Option --scl needs a file\n");
    } else if (arg == "--kbm") {
      options.tuning.kbm_path = take_value();
      if (options.tuning.kbm_path.empty()) refuse("Option --kbm needs a file\n");
    } else if (arg == "--a4") {
      const char* text = take_value();
      const std::optional<double> hz = parse_decimal(text);
      if (!hz || !(*hz >= kMinA4 && *hz <= kMaxA4))
        io::fail(io::kExitBadArguments, "Invalid value \"%s\" for --a4: expected a frequency from %g to %g Hz\n", text,
                 kMinA4, kMaxA4);
      options.tuning.a4 = *hz;
      options.tuning.a4_text = text;
    } else if (arg == "--root") {
      const char* text = take_value();
      const int root = parse_pitch_class(text);
      if (root < 0) refuse("Invalid root \"%s\": expected a pitch class C, C#, Db, ..., B or 0-11\n", text);
      options.tuning.root = root;
    } else if (arg == "--mts") {
      no_value();
      options.method.mts = true;
    } else if (arg == "--bend-range") {
      options.method.bend_range = parse_number(take_value(), 1, 24, "--bend-range");
      options.method.declare_bend_range = true;
      bend_range_given = true;
    } else if (arg == "--skip-channel") {
      options.method.skipped_channels |= static_cast<uint16_t>(1u << (parse_number(take_value(), 1, 16, "--skip-channel") - 1));
    } else if (arg == "--skip-drums") {
      no_value();
      options.method.skipped_channels |= 1u << 9;
    } else {
      io::fail(io::kExitBadArguments, "Unknown option \"%s\"; see %s --help\n", argv[i], program);
    }
  }
  if (options.action == Options::Action::kHelp || options.action == Options::Action::kVersion ||
      options.action == Options::Action::kListTunings)
    return options;

  if (!options.tuning.name.empty() && !options.tuning.scl_path.empty()) refuse("Give either --tuning or --scl, not both\n");
  if (!options.tuning.kbm_path.empty() && options.tuning.scl_path.empty()) refuse("Option --kbm goes with --scl\n");
  if (!options.tuning.kbm_path.empty() && options.tuning.a4)
    refuse("Give either --a4 or --kbm, not both: the mapping sets its own reference frequency\n");
  if (!options.tuning.kbm_path.empty() && options.tuning.root) refuse("Give either --root or --kbm, not both: both set the root\n");
  if (options.tuning.root && !options.tuning.by_name()) refuse("Option --root goes with --tuning or --scl\n");
  if (options.method.mts && bend_range_given)
    refuse("Give either --mts or --bend-range, not both: a tuning message uses no pitch bends\n");

  const int positional = argc - i;
  if (options.tuning.by_name()) {
    if (positional >= kPitchClasses) refuse("Give either a tuning option or twelve offsets, not both\n");
    if (positional > 2) usage_failure(program);
  } else {
    if (positional < kPitchClasses || positional > kPitchClasses + 2) usage_failure(program);
    for (int k = 0; k < kPitchClasses; ++k) options.tuning.offsets.push_back(argv[i++]);
  }
  if (i < argc) options.infile = argv[i++];
  if (i < argc) options.outfile = argv[i++];
  return options;
}

}  // namespace retune::driver
