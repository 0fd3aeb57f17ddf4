// Resolving the user's choice of tuning into the keys' tuning, and showing tunings.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "io/failure.h"
#include "tuning/scala.h"
#include "tuning/tunings.h"

namespace retune {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

Tuning positional_offsets(const TuningChoice& choice, double limit) {
  Tuning cent{};
  for (int k = 0; k < kPitchClasses; ++k) {
    const std::optional<double> value = parse_cents(choice.offsets[k]);
    if (!value || !(std::fabs(*value) <= limit))
      io::fail(io::kExitBadArguments, "Invalid tuning offset \"%s\" for %s: expected cents from -%g to %g\n",
               choice.offsets[k], kPitchClassNames[k], limit, limit);
    cent[k] = *value;
  }
  return cent;
}

// The first mapped key beyond +-limit once `shift` is taken off every key; a
// tuning that repeats by pitch class is looked at as its twelve classes.
std::optional<int> key_out_of_range(const KeyTable& table, double limit, double shift) {
  const int keys = table.pitch_classes() ? kPitchClasses : kKeys;
  for (int key = 0; key < keys; ++key)
    if (table.mapped[key] && !(std::fabs(table.offset[key] - shift) <= limit)) return key;
  return std::nullopt;
}

std::string key_name(const KeyTable& table, int key) {
  return table.pitch_classes() ? kPitchClassNames[key] : "key " + std::to_string(key);
}

// The twelve offsets as a scale on C: its degrees are the pitch classes'
// distances from C.
Scale offsets_scale(const Tuning& cent) {
  Scale scale;
  for (int k = 1; k < kPitchClasses; ++k) scale.pitches.push_back(100.0 * k + cent[k] - cent[0]);
  scale.pitches.push_back(1200.0);
  scale.name = "offsets";
  scale.description = "Offsets from equal temperament for C to B: " + format_offsets(cent);
  return scale;
}

}  // namespace

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

ResolvedTuning resolve_tuning(const TuningChoice& choice, double limit) {
  ResolvedTuning tuning;
  const int root = choice.root.value_or(0);
  tuning.mapping = KeyboardMapping::linear(60 + root);
  if (!choice.by_name()) {
    const Tuning cent = positional_offsets(choice, limit);
    tuning.table = KeyTable::from_pitch_classes(cent);
    tuning.source = "The offsets";
    tuning.scale = offsets_scale(cent);
  } else if (!choice.name.empty()) {
    tuning.table = builtin_table(choice.name, root);
    tuning.source = "Tuning " + choice.name;
    tuning.scale = builtin_scale(choice.name);
  } else {
    tuning.scale = read_scl(choice.scl_path);
    const Scale& scale = tuning.scale;
    tuning.source = "Scala file " + choice.scl_path;
    char shape[64];
    std::snprintf(shape, sizeof shape, "%d notes, period %.10g cents", scale.size(), scale.period());
    tuning.shape = shape;
    if (choice.kbm_path.empty()) {
      tuning.table = map_keys(scale, tuning.mapping, "").table;
    } else {
      tuning.mapping = read_kbm(choice.kbm_path);
      const MappedKeys keys = map_keys(scale, tuning.mapping, choice.kbm_path);
      tuning.table = keys.table;
      tuning.reference = "Keyboard mapping " + choice.kbm_path + ", with key " +
                         std::to_string(tuning.mapping.reference_note) + " at " + tuning.mapping.frequency_text +
                         " Hz,";
      tuning.reference_shift = keys.reference_shift;
    }
  }
  tuning.table.name = tuning.scale.name;
  if (choice.a4) {
    tuning.reference_shift = tune_reference(tuning.table, 69, cents_from_equal(69, *choice.a4));
    tuning.reference = "Option --a4 " + choice.a4_text;
  }
  return tuning;
}

void check_range(const ResolvedTuning& tuning, double limit) {
  const KeyTable& table = tuning.table;
  const std::optional<int> key = key_out_of_range(table, limit, 0);
  if (!key) return;
  // Blame the reference pitch when the tuning fits without it.
  if (!tuning.reference.empty() && !key_out_of_range(table, limit, tuning.reference_shift))
    io::fail(io::kExitBadArguments, "%s gives %s an offset of %.2f cents: expected cents from -%g to %g\n",
             tuning.reference.c_str(), key_name(table, *key).c_str(), table.offset[*key], limit, limit);
  const int own = *key_out_of_range(table, limit, tuning.reference_shift);
  io::fail(io::kExitBadArguments, "%s gives %s an offset of %.2f cents: expected cents from -%g to %g\n",
           tuning.source.c_str(), key_name(table, own).c_str(), table.offset[own] - tuning.reference_shift, limit,
           limit);
}

std::string format_offsets(const Tuning& cent) {
  std::string text;
  for (double c : cent) {
    char number[32];
    // The shortest text that reads back as the same double.
    const auto result = std::to_chars(number, number + sizeof number, c);
    if (!text.empty()) text += ' ';
    text.append(number, result.ptr);
  }
  return text;
}

std::string format_tuning(const KeyTable& table) {
  if (const std::optional<Tuning> cent = table.pitch_classes()) return format_offsets(*cent) + "\n";
  std::string text;
  for (int key = 0; key < kKeys; ++key) {
    text += std::to_string(key) + " ";
    if (table.mapped[key]) {
      char number[32];
      const auto result = std::to_chars(number, number + sizeof number, table.offset[key]);
      text.append(number, result.ptr);
    } else {
      text += "x";
    }
    text += "\n";
  }
  return text;
}

std::string list_tunings() {
  std::string text;
  char line[256];
  for (const NamedTuning& tuning : builtin_tunings()) {
    std::snprintf(line, sizeof line, "%-19s %s\n%19s", tuning.name, tuning.description, "");
    text += line;
    for (double c : offsets_on_root(tuning.degrees(), 0)) {
      std::snprintf(line, sizeof line, " %.2f", c);
      text += line;
    }
    text += "\n";
  }
  std::snprintf(line, sizeof line,
                "%-19s per key: N equal divisions of the octave, N from %d to %d, linear from key 60\n",
                "edo:N", kMinEdo, kMaxEdo);
  return text + line;
}

}  // namespace retune
