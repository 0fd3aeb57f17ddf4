// A Scala scale on a keyboard mapping: the pitch of every key.
#include <cmath>

#include "io/failure.h"
#include "tuning/scala.h"

namespace retune {

namespace {

long floor_div(long a, long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The layout of a mapping over a scale of n notes, the linear one spelled out.
struct Pattern {
  const Scale& scale;
  const KeyboardMapping& mapping;
  long size;           // keys in one repeat
  long octave_degree;  // degrees one repeat moves

  Pattern(const Scale& s, const KeyboardMapping& m)
      : scale(s),
        mapping(m),
        size(m.size == 0 ? s.size() : m.size),
        octave_degree(m.size == 0 || m.octave_degree == 0 ? s.size() : m.octave_degree) {}

  int entry(long index) const {
    if (mapping.size == 0) return static_cast<int>(index);
    return index < static_cast<long>(mapping.degrees.size()) ? mapping.degrees[static_cast<size_t>(index)]
                                                             : KeyboardMapping::kUnmapped;
  }

  // Cents of the degree `key` plays above degree 0, less equal temperament's
  // cents from the middle note to `key`; nothing when the key is unmapped.
  // Whole repeats are kept apart from the pattern itself, so that a scale
  // whose repeat spans as many cents as its keys in equal temperament (12
  // keys, 1200 cents) gives exactly the same offset in every repeat.
  std::optional<double> relative_cents(int key) const {
    const long from_middle = key - mapping.middle_note;
    const long repeat = floor_div(from_middle, size);
    const long index = from_middle - repeat * size;
    const int first = entry(index);
    if (first == KeyboardMapping::kUnmapped) return std::nullopt;
    const long degree = first + repeat * octave_degree;
    const long n = scale.size();
    const long periods = floor_div(degree, n) - floor_div(first, n);
    const double in_pattern =
        (scale.degree_cents(degree - periods * n) - 100.0 * static_cast<double>(index));
    return (static_cast<double>(periods) * scale.period() - 100.0 * static_cast<double>(repeat * size)) + in_pattern;
  }
};

}  // namespace

double cents_from_equal(int key, double hz) {
  const double equal_hz = 440.0 * std::exp2((key - 69) / 12.0);
  return 1200.0 * std::log2(hz / equal_hz);
}

MappedKeys map_keys(const Scale& scale, const KeyboardMapping& mapping, const std::string& kbm_name) {
  const Pattern pattern(scale, mapping);
  MappedKeys keys;
  for (int key = mapping.first_note; key <= mapping.last_note; ++key) {
    if (const std::optional<double> cents = pattern.relative_cents(key)) {
      keys.table.offset[key] = *cents;
      keys.table.mapped[key] = true;
    }
  }
  const std::optional<double> reference = pattern.relative_cents(mapping.reference_note);
  if (!reference)
    io::fail(io::kExitBadArguments, "Keyboard mapping %s leaves its reference note %d unmapped: it has no degree to tune\n",
             kbm_name.c_str(), mapping.reference_note);
  keys.reference_shift = cents_from_equal(mapping.reference_note, mapping.reference_frequency) - *reference;
  for (int key = 0; key < kKeys; ++key)
    if (keys.table.mapped[key]) keys.table.offset[key] += keys.reference_shift;
  return keys;
}

double tune_reference(KeyTable& table, int key, double cents) {
  const double shift = cents - table.offset[key];
  for (int k = 0; k < kKeys; ++k)
    if (table.mapped[k]) table.offset[k] += shift;
  return shift;
}

}  // namespace retune
