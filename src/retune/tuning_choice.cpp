// Resolving the user's choice of tuning into offsets, and showing tunings.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "io/failure.h"
#include "retune/scala.h"
#include "retune/tunings.h"

namespace retune {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

Tuning resolve_tuning(const TuningChoice& choice, double limit) {
  Tuning cent{};
  if (!choice.by_name()) {
    for (int k = 0; k < kPitchClasses; ++k) {
      const std::optional<double> value = parse_cents(choice.offsets[k]);
      if (!value || !(std::fabs(*value) <= limit))
        io::fail(io::kExitBadArguments, "Invalid tuning offset \"%s\" for %s: expected cents from -%g to %g\n",
                 choice.offsets[k], kPitchClassNames[k], limit, limit);
      cent[k] = *value;
    }
    return cent;
  }
  std::string source;
  if (!choice.name.empty()) {
    const NamedTuning* tuning = find_tuning(choice.name);
    if (!tuning)
      io::fail(io::kExitBadArguments, "Unknown tuning \"%s\"; see retune --list-tunings\n", choice.name.c_str());
    cent = offsets_on_root(tuning->degrees(), choice.root.value_or(0));
    source = "Tuning " + choice.name;
  } else {
    const Degrees degrees = scale_degrees(read_scl(choice.scl_path), choice.scl_path);
    cent = choice.kbm_path.empty() ? offsets_on_root(degrees, choice.root.value_or(0))
                                    : offsets_for_mapping(degrees, read_kbm(choice.kbm_path));
    source = "Scala file " + choice.scl_path;
  }
  for (int k = 0; k < kPitchClasses; ++k)
    if (!(std::fabs(cent[k]) <= limit))
      io::fail(io::kExitBadArguments, "%s gives %s an offset of %.2f cents: expected cents from -%g to %g\n",
               source.c_str(), kPitchClassNames[k], cent[k], limit, limit);
  return cent;
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

std::string list_tunings() {
  std::string text;
  for (const NamedTuning& tuning : builtin_tunings()) {
    char line[256];
    std::snprintf(line, sizeof line, "%-14s %s\n%14s", tuning.name, tuning.description, "");
    text += line;
    for (double c : offsets_on_root(tuning.degrees(), 0)) {
      std::snprintf(line, sizeof line, " %.2f", c);
      text += line;
    }
    text += "\n";
  }
  return text;
}

}  // namespace retune
