// libFuzzer target. The first byte chooses what the rest feeds:
//  0: a MIDI file, with a tuning and a method, through both passes in memory.
//     A run that succeeds must give exactly the retuned input; a run that
//     fails must fail with a catalogued message and status.
//  1, 2: a Scala scale or keyboard mapping, read and turned into a tuning of
//     the keys.
//  3: a command line, its arguments separated by NUL bytes.
//  4: a MIDI file, with a tuning and a method, through --poly. A run that
//     succeeds must pass the independent checker's note and bend rules.
//  5: the same through --mpe, checked as an MPE zone.
//  6: a MIDI file through --adaptive, played by --poly, --mpe or --mts=keys:
//     every planned pitch within 30 cents of its key, the output readable.
// The text readers and the command line may refuse their input, but only
// with a Failure of status 4.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue.h"
#include "driver/cli.h"
#include "midi_model.h"
#include "poly_check.h"
#include "retune/adaptive.h"
#include "retune/note_tunings.h"
#include "retune/poly.h"
#include "retune/retune.h"
#include "tuning/scala.h"

namespace {

enum Mode : uint8_t { kMidi, kScale, kMapping, kCommandLine, kPoly, kMpe, kAdaptive, kModes };

[[noreturn]] void found(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

// The first bytes choose the method and the tuning; the rest is the file.
constexpr size_t kConfigBytes = 16;

retune::Method method_from(const uint8_t* config) {
  retune::Method method;
  switch (config[0] % 4) {
    case 1:
      method.declare_bend_range = true;
      method.bend_range = 1 + config[1] % 24;
      break;
    case 2:
      method.mts = true;
      method.bend_range = 1;
      break;
    case 3:
      (config[0] & 0x40 ? method.mts_bulk : method.mts_keys) = true;
      break;
    default:
      break;
  }
  if (config[0] & 0x80) method.skipped_channels = static_cast<uint16_t>(config[2] << 8 | config[3]);
  return method;
}

// What the independent checker finds wrong with the polyphonic mode's output.
std::string poly_problem(const std::string& input, const retune::Tuning& cent, const retune::Method& method) {
  poly_check::Options options;
  for (int key = 0; key < retune::kKeys; ++key) options.offset[key] = cent[key % retune::kPitchClasses];
  options.bend_range = method.declare_bend_range ? method.bend_range : 0;
  options.skipped = method.skipped_channels;
  options.ignore_bends = method.ignore_file_bends;
  options.mpe = method.mpe;
  const std::string output = retune::retune_poly(input, retune::KeyTable::from_pitch_classes(cent), method);
  return poly_check::check(input, output, options).problem;
}

void fuzz_midi(const uint8_t* data, size_t size, Mode mode) {
  if (size < kConfigBytes) return;
  retune::Method method = method_from(data);
  const bool poly = mode != kMidi;
  if (poly) {
    method.mts = method.mts_keys = method.mts_bulk = false;
    method.bend_range = method.declare_bend_range ? method.bend_range : retune::kDefaultBendRange;
    method.poly = true;
    method.ignore_file_bends = data[1] & 0x80;
  }
  if (mode == kMpe) {
    // A zone needs its manager, channel 1, and a member, channel 2; members
    // bend 48 semitones unless told otherwise.
    method.mpe = method.declare_bend_range = true;
    method.bend_range = data[0] & 1 ? 1 + data[1] % 96 : 48;
    method.skipped_channels &= 0xFFFC;
  }
  retune::Tuning cent;
  for (int i = 0; i < retune::kPitchClasses; ++i)
    cent[i] = static_cast<int8_t>(data[4 + i]) / 128.0 * retune::max_offset(method);
  const std::string input(reinterpret_cast<const char*>(data + kConfigBytes), size - kConfigBytes);
  try {
    std::string problem;
    if (poly) {
      problem = poly_problem(input, cent, method);
    } else {
      const std::string output = retune::retune_bytes(input, cent, method);
      problem = smf_test::check_retuned(input, output, cent, method);
    }
    if (!problem.empty()) found("wrong output", problem);
  } catch (const retune::io::Failure& failure) {
    if (!smf_test::is_catalogued(failure.message(), failure.status()))
      found("uncatalogued failure", std::to_string(failure.status()) + " " + failure.message());
  }
}

// The adaptive plan, each pitch checked as it is handed over.
class CheckedPlanner final : public retune::PitchPlanner {
 public:
  explicit CheckedPlanner(const retune::Method& method) : planner_(method) {}
  std::vector<retune::NoteSpan> plan(const retune::smf::File& file, const std::vector<size_t>& tracks) override {
    std::vector<retune::NoteSpan> notes = planner_.plan(file, tracks);
    for (const retune::NoteSpan& note : notes)
      if (!(std::fabs(note.pitch - 100.0 * note.key) <= retune::kMostPlanned))
        found("pitch beyond the plan's reach", std::to_string(note.key) + " at " + std::to_string(note.pitch));
    return notes;
  }

 private:
  retune::AdaptivePlanner planner_;
};

void fuzz_adaptive(const uint8_t* data, size_t size) {
  if (size < kConfigBytes) return;
  retune::Method method;
  method.adaptive = true;
  (data[0] % 3 == 2 ? method.mts_keys : method.poly) = true;
  method.mpe = data[0] % 3 == 1;
  method.declare_bend_range = method.mpe;
  method.bend_range = method.mpe ? 48 : retune::kDefaultBendRange;
  method.ignore_file_bends = data[1] & 0x80;
  if (data[0] & 0x80) method.skipped_channels = static_cast<uint16_t>((data[2] << 8 | data[3]) & (method.mpe ? 0xFFFC : 0xFFFF));
  retune::KeyTable equal{};
  equal.mapped.fill(true);
  const std::string input(reinterpret_cast<const char*>(data + kConfigBytes), size - kConfigBytes);
  try {
    CheckedPlanner planner(method);
    retune::io::MemorySink out;
    if (method.poly) retune::retune_poly(input, equal, method, nullptr, out, &planner);
    else retune::retune_note_tunings(input, equal, method, nullptr, out, planner);
    const poly_check::Smf read = poly_check::read_smf(out.bytes());
    if (!read.error.empty()) found("unreadable output", read.error);
  } catch (const retune::io::Failure& failure) {
    if (!smf_test::is_catalogued(failure.message(), failure.status()))
      found("uncatalogued failure", std::to_string(failure.status()) + " " + failure.message());
  }
}

void fuzz_text(Mode mode, const std::string& text) {
  try {
    if (mode == kScale) {
      retune::map_keys(retune::parse_scl(text, "fuzz.scl"), retune::KeyboardMapping::linear(60), "");
    } else if (mode == kMapping) {
      retune::Scale equal;
      for (int degree = 1; degree <= retune::kPitchClasses; ++degree) equal.pitches.push_back(100.0 * degree);
      retune::map_keys(equal, retune::parse_kbm(text, "fuzz.kbm"), "fuzz.kbm");
    } else {
      std::vector<std::string> args = {"retune"};
      for (char c : text) {
        if (c == '\0')
          args.emplace_back();
        else
          args.back() += c;
      }
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      retune::driver::parse_command_line(static_cast<int>(args.size()), argv.data());
    }
  } catch (const retune::io::Failure& failure) {
    if (failure.status() != retune::io::kExitBadArguments || failure.message().empty() ||
        failure.message().back() != '\n')
      found("unexpected failure", std::to_string(failure.status()) + " " + failure.message());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto mode = static_cast<Mode>(data[0] % kModes);
  if (mode == kMidi || mode == kPoly || mode == kMpe)
    fuzz_midi(data + 1, size - 1, mode);
  else if (mode == kAdaptive)
    fuzz_adaptive(data + 1, size - 1);
  else
    fuzz_text(mode, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  return 0;
}
