// The command line: options anywhere before a lone "--", the tuning and the
// files; the usage and help texts.
#include "driver/cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "driver/files.h"
#include "tuning/scala.h"

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

// The command lines other than the usage text's, after the program's name.
constexpr const char* kOtherForms[] = {
    "TUNING-OPTION... [infile [outfile]]",
    "(TUNING-OPTION... | c1 ... c12) (-d DIR | --in-place) FILE...",
    "--analyze [--json] [TUNING-OPTION... | c1 ... c12] [FILE...]",
    "(TUNING-OPTION... | c1 ... c12) --print-offsets",
    "(TUNING-OPTION... | c1 ... c12) --export FORMAT [outfile]",
    "--list-tunings | --help | --version",
};

constexpr char kOptionsHelp[] =
    "With a tuning option every operand is a file.\n"
    "\n"
    "The usage text's limits are those of the default method: a pitch bend after\n"
    "each note-on, for synths bending 2 semitones. A bend moves the whole channel,\n"
    "hence no chords. The output options below lift them: --bend-range N allows\n"
    "offsets up to N*100 cents, --poly and --mts keep chords in tune. A key whose\n"
    "offset lies beyond the bend range plays on the nearest key; --mts=keys has no\n"
    "limit but MIDI's pitch range.\n"
    "\n"
    "An infile or outfile - is standard input or output.\n"
    "Options may stand anywhere before a lone --, which ends them; offsets such as\n"
    "-10 are no options. Of --help, --version, --list-tunings and --print-offsets,\n"
    "the first in this order is done and nothing else; --print-offsets takes no\n"
    "files. An option that takes one value may be repeated only with that value.\n"
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
    "                      stay in tune; offsets from -100 to 100 cents (FluidSynth)\n"
    "  --mts=keys          single-note tuning messages that tune all 128 keys, at the\n"
    "                      start and after every reset: any tuning, chords in tune\n"
    "                      (FluidSynth, TiMidity++)\n"
    "  --mts=bulk          one bulk tuning dump of all 128 keys, at the start and after\n"
    "                      every reset, tuning program 0 selected on every channel:\n"
    "                      for synths that take only bulk dumps\n"
    "  --poly              give every sounding note a channel of its own bend, so that\n"
    "                      chords play in tune on any General MIDI synth; reads the\n"
    "                      whole file into memory\n"
    "  --mpe               the same as an MPE file: a lower zone, channel-wide messages\n"
    "                      on channel 1, every note on a member channel (2-16, or 2-9\n"
    "                      when channel 10 holds drums) bending 48 semitones\n"
    "  --in-bends MODE     with --poly, the file's own pitch bends: keep (the default:\n"
    "                      the tuning is added to them) or ignore (dropped)\n"
    "  --bend-range N      synths bending N semitones (1-24; 1-96 with --mpe) either way:\n"
    "                      scale the bends to it and set it at the start of the file\n"
    "  --skip-channel N    leave channel N (1-16) alone; may be repeated\n"
    "  --skip-drums        leave channel 10 alone\n"
    "\n"
    "Many files (FILE... in place of [infile [outfile]]; each failure is a line\n"
    "naming its FILE, and the exit status is that of the first FILE that failed):\n"
    "  -d, --output-dir DIR\n"
    "                      retune every FILE into DIR (made if missing), same name\n"
    "  --in-place          replace every FILE by its retuned copy\n"
    "  -j, --jobs N        retune N files at a time; the default is one per CPU\n"
    "\n"
    "Analysis (writes no MIDI file):\n"
    "  --analyze           report on each FILE: notes and the bends they need at once\n"
    "                      per channel under the tuning given (without one, each pitch\n"
    "                      class counts as a bend of its own), the file's own bends and\n"
    "                      bend ranges, resets, and the method that suits it; the\n"
    "                      other arguments are [c1 ... c12] FILE... (- for standard input)\n"
    "  --json              with --analyze, one line of JSON per file\n"
    "\n"
    "Export (writes the tuning alone, no MIDI file):\n"
    "  --export FORMAT     write the tuning to outfile or standard output as FORMAT:\n"
    "                      scl, a Scala scale, and kbm, its keyboard mapping, which\n"
    "                      read together give every key its pitch; tun, an AnaMark\n"
    "                      tuning file; syx, a MIDI Tuning Standard bulk dump\n"
    "\n"
    "Other:\n"
    "  --verbose           report on standard error what was inserted\n"
    "  -h, --help          print this help and exit\n"
    "  --version           print the version and exit\n";

[[noreturn]] void usage_failure(const char* program) {
  throw io::Failure(io::kExitBadArguments, usage_text(program));
}

}  // namespace

std::string usage_text(const char* program) { return io::formatted(kUsage, program); }

std::string help_text(const char* program) {
  std::string text = usage_text(program) + "\nOther forms:\n";
  for (const char* form : kOtherForms) text += std::string("  ") + program + " " + form + "\n";
  return text + kOptionsHelp;
}

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

constexpr int kMaxBendRange = 24;
constexpr int kMaxMpeBendRange = 96;
constexpr int kMpeBendRange = 48;

constexpr char kAdaptiveTakesNoTuning[] =
    "Option --adaptive takes no tuning: it plans every note's pitch from equal temperament (and --a4)\n";

enum class Opt {
  kHelp, kVersion, kListTunings, kPrintOffsets, kVerbose,
  kTuning, kScl, kKbm, kA4, kRoot, kAdaptive, kMts, kPoly, kMpe, kInBends, kBendRange, kSkipChannel, kSkipDrums,
  kOutputDir, kInPlace, kJobs, kAnalyze, kJson, kExport,
  kCount
};

// What follows an option: nothing, a value (after "=" or as the next
// argument), or a value only after "=".
enum class Takes { kNothing, kValue, kOptionalValue };

struct OptionEntry {
  std::string_view name;
  char letter;        // its one-letter form, or 0
  Takes takes;
  bool single_value;  // given twice, it must be given the same value
  Opt id;
};

constexpr OptionEntry kOptions[] = {
    {"--help", 'h', Takes::kNothing, false, Opt::kHelp},
    {"--version", 0, Takes::kNothing, false, Opt::kVersion},
    {"--list-tunings", 0, Takes::kNothing, false, Opt::kListTunings},
    {"--print-offsets", 0, Takes::kNothing, false, Opt::kPrintOffsets},
    {"--verbose", 0, Takes::kNothing, false, Opt::kVerbose},
    {"--tuning", 0, Takes::kValue, true, Opt::kTuning},
    {"--scl", 0, Takes::kValue, true, Opt::kScl},
    {"--kbm", 0, Takes::kValue, true, Opt::kKbm},
    {"--a4", 0, Takes::kValue, true, Opt::kA4},
    {"--root", 0, Takes::kValue, true, Opt::kRoot},
    {"--adaptive", 0, Takes::kNothing, false, Opt::kAdaptive},
    {"--mts", 0, Takes::kOptionalValue, false, Opt::kMts},
    {"--poly", 0, Takes::kNothing, false, Opt::kPoly},
    {"--mpe", 0, Takes::kNothing, false, Opt::kMpe},
    {"--in-bends", 0, Takes::kValue, true, Opt::kInBends},
    {"--bend-range", 0, Takes::kValue, true, Opt::kBendRange},
    {"--skip-channel", 0, Takes::kValue, false, Opt::kSkipChannel},
    {"--skip-drums", 0, Takes::kNothing, false, Opt::kSkipDrums},
    {"--output-dir", 'd', Takes::kValue, true, Opt::kOutputDir},
    {"--in-place", 0, Takes::kNothing, false, Opt::kInPlace},
    {"--jobs", 'j', Takes::kValue, true, Opt::kJobs},
    {"--analyze", 0, Takes::kNothing, false, Opt::kAnalyze},
    {"--json", 0, Takes::kNothing, false, Opt::kJson},
    {"--export", 0, Takes::kValue, true, Opt::kExport},
};

// An option is "--name" or "-" and a letter; "-" alone, "-10" and "-.5" are
// arguments.
bool is_option(const char* arg) {
  return arg[0] == '-' && arg[1] != '\0' && !std::isdigit(static_cast<unsigned char>(arg[1])) && arg[1] != '.';
}

const OptionEntry* find_option(std::string_view name) {
  for (const OptionEntry& option : kOptions)
    if (name == option.name || (name.size() == 2 && name[1] == option.letter)) return &option;
  return nullptr;
}

class Parser {
 public:
  Parser(int argc, char** argv) : argc_(argc), argv_(argv) {}

  Options parse();

 private:
  void take_option(int& i);
  void apply(const OptionEntry& option, const char* value);
  // Refuses a second, different value of an option that takes one.
  void note_value(const OptionEntry& option, const char* text, const std::string& value);
  void check_combinations() const;
  std::vector<const char*> take_offsets();
  void take_positional();
  const char* program() const { return argc_ > 0 ? argv_[0] : "retune"; }

  int argc_;
  char** argv_;
  Options options_;
  std::vector<const char*> positional_;
  bool given_[static_cast<int>(Opt::kCount)] = {};
  std::string values_[static_cast<int>(Opt::kCount)];
  std::string texts_[static_cast<int>(Opt::kCount)];
  std::string mts_spelling_;  // the first --mts given, as written
};

Options Parser::parse() {
  bool options_ended = false;
  for (int i = 1; i < argc_; ++i) {
    if (options_ended || !is_option(argv_[i]))
      positional_.push_back(argv_[i]);
    else if (std::strcmp(argv_[i], "--") == 0)
      options_ended = true;
    else
      take_option(i);
  }
  // One rule of precedence: the first of these in this order is done, and
  // nothing else.
  for (const auto& [id, action] : {std::pair{Opt::kHelp, Options::Action::kHelp},
                                  {Opt::kVersion, Options::Action::kVersion},
                                  {Opt::kListTunings, Options::Action::kListTunings}})
    if (given_[static_cast<int>(id)]) {
      options_.action = action;
      return options_;
    }
  check_combinations();
  // MPE's own default: members bend 48 semitones either way.
  if (options_.method.mpe && !given_[static_cast<int>(Opt::kBendRange)]) {
    options_.method.bend_range = kMpeBendRange;
    options_.method.declare_bend_range = true;
  }
  take_positional();
  return options_;
}

void Parser::take_option(int& i) {
  std::string_view arg = argv_[i];
  const char* value = nullptr;
  if (arg.starts_with("--")) {  // --name=value or --name value
    const size_t equals = arg.find('=');
    if (equals != std::string_view::npos) {
      value = argv_[i] + equals + 1;
      arg = arg.substr(0, equals);
    }
  } else if (arg.size() > 2) {  // -xVALUE
    value = argv_[i] + 2;
    arg = arg.substr(0, 2);
  }
  const OptionEntry* option = find_option(arg);
  if (!option || (value && option->takes != Takes::kValue && arg.size() == 2))
    io::fail(io::kExitBadArguments, "Unknown option \"%s\"; see retune --help\n", argv_[i]);
  if (value && option->takes == Takes::kNothing)
    io::fail(io::kExitBadArguments, "Option %.*s takes no value\n", static_cast<int>(arg.size()), arg.data());
  if (option->takes == Takes::kValue && !value) {
    if (i + 1 >= argc_)
      io::fail(io::kExitBadArguments, "Option %.*s needs a value; see retune --help\n", static_cast<int>(arg.size()),
               arg.data());
    value = argv_[++i];
  }
  given_[static_cast<int>(option->id)] = true;
  apply(*option, value);
}

void Parser::note_value(const OptionEntry& option, const char* text, const std::string& value) {
  const int k = static_cast<int>(option.id);
  if (!values_[k].empty() && values_[k] != value)
    io::fail(io::kExitBadArguments, "Option %s given twice with different values: \"%s\" and \"%s\"\n",
             option.name.data(), texts_[k].c_str(), text);
  values_[k] = value;
  texts_[k] = text;
}

void Parser::apply(const OptionEntry& option, const char* value) {
  TuningChoice& tuning = options_.tuning;
  Method& method = options_.method;
  std::string canonical = value ? value : "";
  switch (option.id) {
    case Opt::kPrintOffsets:
      options_.action = Options::Action::kPrintOffsets;
      break;
    case Opt::kVerbose:
      options_.verbose = true;
      break;
    case Opt::kTuning:
      if (!*value) refuse("Option --tuning needs a name\n");
      tuning.name = value;
      break;
    case Opt::kScl:
      if (!*value) refuse("Option --scl needs a file\n");
      tuning.scl_path = value;
      break;
    case Opt::kKbm:
      if (!*value) refuse("Option --kbm needs a file\n");
      tuning.kbm_path = value;
      break;
    case Opt::kA4: {
      const std::optional<double> hz = parse_decimal(value);
      if (!hz || !(*hz >= kMinA4 && *hz <= kMaxA4))
        io::fail(io::kExitBadArguments, "Invalid value \"%s\" for --a4: expected a frequency from %g to %g Hz\n", value,
                 kMinA4, kMaxA4);
      tuning.a4 = *hz;
      tuning.a4_text = value;
      canonical = io::formatted("%.17g", *hz);
      break;
    }
    case Opt::kRoot:
      tuning.root = parse_pitch_class(value);
      if (*tuning.root < 0) refuse("Invalid root \"%s\": expected a pitch class C, C#, Db, ..., B or 0-11\n", value);
      canonical = std::to_string(*tuning.root);
      break;
    case Opt::kMts: {
      // --mts=keys and --mts=bulk: a tuning of every key rather than of the
      // twelve pitch classes
      const bool keys = value && std::strcmp(value, "keys") == 0, bulk = value && std::strcmp(value, "bulk") == 0;
      if (value && !keys && !bulk)
        refuse("Invalid value \"%s\" for --mts: expected --mts=keys or --mts=bulk\n", value);
      const std::string spelling = value ? "--mts=" + std::string(value) : "--mts";
      if (!mts_spelling_.empty() && mts_spelling_ != spelling)
        io::fail(io::kExitBadArguments, "Give either %s or %s, not both\n", mts_spelling_.c_str(), spelling.c_str());
      mts_spelling_ = spelling;
      (keys ? method.mts_keys : bulk ? method.mts_bulk : method.mts) = true;
      break;
    }
    case Opt::kAdaptive:
      method.adaptive = true;
      break;
    case Opt::kPoly:
      method.poly = true;
      break;
    case Opt::kMpe:
      // Every note on a member channel of its own bend, as --poly does.
      method.poly = method.mpe = true;
      break;
    case Opt::kInBends:
      if (std::strcmp(value, "keep") != 0 && std::strcmp(value, "ignore") != 0)
        refuse("Invalid value \"%s\" for --in-bends: expected keep or ignore\n", value);
      method.ignore_file_bends = std::strcmp(value, "ignore") == 0;
      break;
    case Opt::kBendRange:
      method.bend_range = parse_number(value, 1, kMaxMpeBendRange, "--bend-range");
      method.declare_bend_range = true;
      canonical = std::to_string(method.bend_range);
      break;
    case Opt::kSkipChannel:
      method.skipped_channels |= static_cast<uint16_t>(1u << (parse_number(value, 1, 16, "--skip-channel") - 1));
      break;
    case Opt::kSkipDrums:
      method.skipped_channels |= 1u << 9;
      break;
    case Opt::kOutputDir:
      if (!*value) refuse("Option --output-dir needs a directory\n");
      options_.output_dir = value;
      break;
    case Opt::kInPlace:
      options_.in_place = true;
      break;
    case Opt::kJobs:
      options_.jobs = parse_number(value, 1, kMaxWorkers, "-j");
      canonical = std::to_string(options_.jobs);
      break;
    case Opt::kAnalyze:
      if (options_.action == Options::Action::kRetune) options_.action = Options::Action::kAnalyze;
      break;
    case Opt::kJson:
      options_.json = true;
      break;
    case Opt::kExport:
      if (!export_format(value))
        refuse("Invalid value \"%s\" for --export: expected scl, kbm, tun or syx\n", value);
      options_.export_format = *export_format(value);
      options_.action = Options::Action::kExport;
      break;
    default:  // the actions that win over everything, decided at the end
      break;
  }
  if (option.single_value) note_value(option, value, canonical);
}

// What --export leaves no room for: the options of a MIDI file's output,
// the batches and the other actions.
constexpr Opt kNotWithExport[] = {Opt::kPrintOffsets, Opt::kAnalyze, Opt::kJson,      Opt::kMts,
                                  Opt::kPoly,         Opt::kMpe,     Opt::kInBends,   Opt::kBendRange,
                                  Opt::kSkipChannel,  Opt::kSkipDrums, Opt::kOutputDir, Opt::kInPlace,
                                  Opt::kJobs,         Opt::kAdaptive};

void Parser::check_combinations() const {
  const TuningChoice& tuning = options_.tuning;
  if (given_[static_cast<int>(Opt::kExport)])
    for (Opt other : kNotWithExport)
      if (given_[static_cast<int>(other)])
        for (const OptionEntry& option : kOptions)
          if (option.id == other)
            refuse("Option --export writes the tuning alone: not with %s\n", option.name.data());
  if (!tuning.name.empty() && !tuning.scl_path.empty()) refuse("Give either --tuning or --scl, not both\n");
  if (!tuning.kbm_path.empty() && tuning.scl_path.empty()) refuse("Option --kbm goes with --scl\n");
  if (!tuning.kbm_path.empty() && tuning.a4)
    refuse("Give either --a4 or --kbm, not both: the mapping sets its own reference frequency\n");
  if (!tuning.kbm_path.empty() && tuning.root) refuse("Give either --root or --kbm, not both: both set the root\n");
  if (tuning.root && !tuning.by_name()) refuse("Option --root goes with --tuning or --scl\n");
  if (options_.method.adaptive) {
    if (tuning.by_name() || tuning.root)
      refuse(kAdaptiveTakesNoTuning);
    if (options_.method.mts || options_.method.mts_bulk)
      refuse("Option --adaptive plays through --poly, --mpe or --mts=keys, not %s\n",
             options_.method.mts ? "--mts" : "--mts=bulk");
    if (options_.action == Options::Action::kAnalyze) refuse("Option --analyze reads the bends a file has: not with --adaptive\n");
  }
  if (!options_.method.bends() && options_.method.poly)
    refuse("Give either --mts or %s, not both: a tuning message keeps chords in tune by itself\n",
           options_.method.mpe ? "--mpe" : "--poly");
  if (options_.method.mpe && given_[static_cast<int>(Opt::kPoly)]) refuse("Give either --poly or --mpe, not both\n");
  if (!options_.method.mpe && options_.method.bend_range > kMaxBendRange)
    io::fail(io::kExitBadArguments, "Invalid value \"%d\" for --bend-range: expected 1 to %d\n",
             options_.method.bend_range, kMaxBendRange);
  if (given_[static_cast<int>(Opt::kInBends)] && !options_.method.poly) refuse("Option --in-bends goes with --poly\n");
  if (!options_.method.bends() && given_[static_cast<int>(Opt::kBendRange)])
    refuse("Give either --mts or --bend-range, not both: a tuning message uses no pitch bends\n");
  if (options_.method.mts && options_.method.skipped_channels == 0xFFFF)
    refuse("Option --mts with every channel skipped leaves nothing to tune\n");
  if (options_.output_dir && options_.in_place) refuse("Give either --output-dir or --in-place, not both\n");
  if (options_.jobs && !options_.batch()) refuse("Option -j goes with --output-dir or --in-place\n");
  const bool analyze = options_.action == Options::Action::kAnalyze;
  if (options_.json && !analyze) refuse("Option --json goes with --analyze\n");
  if (analyze && options_.batch()) refuse("Option --analyze writes no files: not with --output-dir or --in-place\n");
}

bool is_number(const char* text) {
  char* end = nullptr;
  std::strtod(text, &end);
  return end != text && *end == '\0';
}

// Whether a mode's operands, without a tuning option, start with twelve
// offsets.
enum class Offsets { kRequired, kIfNumbers, kNone };

struct Mode {
  Options::Action action;
  Offsets offsets;
};

// The modes that take operands. With a tuning option every operand is a file.
constexpr Mode kModes[] = {
    {Options::Action::kRetune, Offsets::kRequired},
    {Options::Action::kPrintOffsets, Offsets::kRequired},
    {Options::Action::kAnalyze, Offsets::kIfNumbers},
    {Options::Action::kExport, Offsets::kRequired},
};

Offsets offsets_of(Options::Action action) {
  for (const Mode& mode : kModes)
    if (mode.action == action) return mode.offsets;
  return Offsets::kNone;
}

// The twelve offsets the operands start with, taken into the tuning; returns
// the files that follow.
std::vector<const char*> Parser::take_offsets() {
  if (options_.method.adaptive) {
    // Planned from equal temperament, which --a4 may move; played through --poly unless told otherwise.
    options_.tuning.name = "equal";
    options_.method.poly = options_.method.poly || !options_.method.mts_keys;
  }
  const Offsets offsets = options_.tuning.by_name() ? Offsets::kNone : offsets_of(options_.action);
  if (options_.method.adaptive && positional_.size() > 2 && is_number(positional_[0])) refuse(kAdaptiveTakesNoTuning);
  auto files = positional_.begin();
  const bool twelve = positional_.size() >= kPitchClasses;
  if (offsets == Offsets::kRequired && !twelve) usage_failure(program());
  if (offsets == Offsets::kRequired ||
      (offsets == Offsets::kIfNumbers && twelve && std::all_of(files, files + kPitchClasses, is_number))) {
    options_.tuning.offsets.assign(files, files + kPitchClasses);
    files += kPitchClasses;
  }
  return {files, positional_.end()};
}

void Parser::take_positional() {
  const std::vector<const char*> files = take_offsets();
  // "-" is standard input or output, as in every filter; "./-" is a file.
  auto file = [](const char* arg) { return std::strcmp(arg, "-") == 0 ? nullptr : arg; };
  if (options_.action == Options::Action::kAnalyze) {
    for (const char* name : files) options_.files.push_back(file(name));
    return;
  }
  if ((!files.empty() || options_.batch()) && options_.action == Options::Action::kPrintOffsets)
    refuse("Option --print-offsets takes no files\n");
  if (options_.action == Options::Action::kExport) {
    if (files.size() > 1) refuse("Option --export takes one file, the outfile\n");
    if (!files.empty()) options_.outfile = file(files[0]);
    return;
  }
  if (options_.batch()) {
    if (files.empty()) refuse("Options --output-dir and --in-place need the files to retune\n");
    for (const char* name : files) {
      if (!file(name)) refuse("Options --output-dir and --in-place take files, not -\n");
      options_.files.push_back(name);
    }
    return;
  }
  if (files.size() > 2) {
    // After twelve offsets, a miscounted offset is as likely as a third file.
    if (!options_.tuning.by_name()) usage_failure(program());
    refuse("Many files need --output-dir DIR or --in-place; see retune --help\n");
  }
  if (files.size() > 0) options_.infile = file(files[0]);
  if (files.size() > 1) options_.outfile = file(files[1]);
}

}  // namespace

Options parse_command_line(int argc, char** argv) { return Parser(argc, argv).parse(); }

}  // namespace retune::driver
