#include "retune/export.h"

#include <cmath>

#include "io/failure.h"
#include "retune/messages.h"

namespace retune {

namespace {

constexpr struct {
  const char* name;
  ExportFormat format;
} kFormats[] = {
    {"scl", ExportFormat::kScl},
    {"kbm", ExportFormat::kKbm},
    {"tun", ExportFormat::kTun},
    {"syx", ExportFormat::kSyx},
};

// AnaMark files give every key in cents above key 0 of equal temperament at
// A4 = 440 Hz.
constexpr char kAnaMarkBase[] = "8.1757989156437";

// A line of a Scala file that no reader takes for a comment.
std::string not_a_comment(const std::string& text) { return text.starts_with("!") ? " " + text : text; }

std::string scala_scale(const ResolvedTuning& tuning) {
  const Scale& scale = tuning.scale;
  std::string text = "! " + scale.name + ".scl\n!\n" + not_a_comment(scale.description) + "\n";
  text += io::formatted(" %d\n!\n", scale.size());
  for (double cents : scale.pitches)
    text += cents == 1200.0 ? std::string(" 2/1\n") : io::formatted(" %.6f\n", cents);
  return text;
}

// A mapping of our own making plays its reference key, A4, where the table
// has it; a keyboard mapping that was given keeps its own reference.
std::string keyboard_mapping(const ResolvedTuning& tuning) {
  KeyboardMapping mapping = tuning.mapping;
  std::string frequency = mapping.frequency_text;
  if (frequency.empty()) {
    mapping.reference_note = 69;
    const double cents = tuning.table.offset[mapping.reference_note];
    frequency = io::formatted("%.10f", 440.0 * std::exp2(cents / 1200.0));
  }
  std::string text = "! " + tuning.scale.name + ".kbm\n";
  text += io::formatted("! Map size%s\n%d\n", mapping.size == 0 ? " (0: linear)" : "", mapping.size);
  text += io::formatted("! First and last MIDI notes to retune\n%d\n%d\n", mapping.first_note, mapping.last_note);
  text += io::formatted("! Middle note: the scale's first degree\n%d\n", mapping.middle_note);
  text += io::formatted("! Reference note and its frequency\n%d\n%s\n", mapping.reference_note, frequency.c_str());
  text += io::formatted("! Formal octave degree\n%d\n",
                        mapping.size == 0 || mapping.octave_degree == 0 ? tuning.scale.size() : mapping.octave_degree);
  if (mapping.size > 0) text += "! Mapping\n";
  for (int i = 0; i < mapping.size; ++i) {
    const size_t entry = static_cast<size_t>(i);
    const int degree = entry < mapping.degrees.size() ? mapping.degrees[entry] : KeyboardMapping::kUnmapped;
    text += degree == KeyboardMapping::kUnmapped ? std::string("x\n") : std::to_string(degree) + "\n";
  }
  return text;
}

// The whole cents for readers of the first version, then the exact ones.
std::string anamark_tuning(const ResolvedTuning& tuning) {
  std::string text = "; AnaMark tuning file written by retune\n; " + tuning.scale.description + "\n[Tuning]\n";
  for (int key = 0; key < kKeys; ++key)
    text += io::formatted("note %d=%.0f\n", key, std::round(tuning.table.pitch(key)));
  text += std::string("\n[Exact Tuning]\nBaseFreq=") + kAnaMarkBase + "\n";
  for (int key = 0; key < kKeys; ++key) text += io::formatted("note %d=%.6f\n", key, tuning.table.pitch(key));
  return text;
}

}  // namespace

std::optional<ExportFormat> export_format(std::string_view name) {
  for (const auto& entry : kFormats)
    if (name == entry.name) return entry.format;
  return std::nullopt;
}

Exported export_tuning(const ResolvedTuning& tuning, ExportFormat format) {
  Exported exported;
  switch (format) {
    case ExportFormat::kScl:
      exported.bytes = scala_scale(tuning);
      break;
    case ExportFormat::kKbm:
      exported.bytes = keyboard_mapping(tuning);
      break;
    case ExportFormat::kTun:
      exported.bytes = anamark_tuning(tuning);
      break;
    case ExportFormat::kSyx: {
      const Bytes dump = bulk_tuning_dump(tuning.table);
      exported.bytes.assign(dump.begin(), dump.end());
      exported.clamped = out_of_reach(tuning.table, Method{.mts_bulk = true});
      break;
    }
  }
  return exported;
}

}  // namespace retune
