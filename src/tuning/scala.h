// Scala scale (.scl) and keyboard mapping (.kbm) files, and the tuning of the
// 128 keys that a scale on a mapping gives.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tuning/tuning_table.h"

namespace retune {

inline constexpr size_t kMaxScalaFileBytes = 1 << 20;
inline constexpr int kMaxScaleNotes = 4096;

// A scale: its description and the cents of its degrees 1..n above degree 0
// (1/1), the last being the period at which the scale repeats.
struct Scale {
  std::string name;  // what the scale is called: a built-in's name, a file's without .scl
  std::string description;
  std::vector<double> pitches;

  int size() const { return static_cast<int>(pitches.size()); }
  double period() const { return pitches.back(); }
  // Cents of any degree, counting on through the periods either way.
  double degree_cents(long degree) const;
};

// Which degree each key plays, and the pitch that fixes them all.
struct KeyboardMapping {
  static constexpr int kUnmapped = -1;  // an "x" in the mapping list

  int size = 0;                  // keys in one repeat of the pattern; 0: linear
  int first_note = 0;            // the keys retuned: first_note..last_note
  int last_note = kKeys - 1;
  int middle_note = 60;          // the key that plays degree 0
  int reference_note = 69;       // the key tuned to reference_frequency
  double reference_frequency = 440.0;
  std::string frequency_text = "440.0";  // the frequency as written
  int octave_degree = 0;         // the degree one repeat of the pattern moves; 0: the period
  std::vector<int> degrees;      // the pattern; missing entries at its end are unmapped

  // A linear mapping with degree 0 on `middle_note`, which sounds unbent.
  static KeyboardMapping linear(int middle_note);
};

// Reading a file that is missing, too large or malformed is a Failure with
// status 4 whose message names the file and, where it helps, the line and
// what was read there.
Scale parse_scl(const std::string& text, const std::string& name);
Scale read_scl(const std::string& path);
KeyboardMapping parse_kbm(const std::string& text, const std::string& name);
KeyboardMapping read_kbm(const std::string& path);

// The keys' tuning, and how far the reference frequency moved every key from
// where degree 0 sounds unbent on the middle note.
struct MappedKeys {
  KeyTable table;
  double reference_shift = 0;
};

// Key k plays the degree the mapping gives it, at the reference frequency
// times the ratio of that degree over the reference key's. Keys outside
// first..last, or mapped to "x", are unmapped. A mapping that leaves its
// reference key without a degree is a Failure naming `kbm_name`.
MappedKeys map_keys(const Scale& scale, const KeyboardMapping& mapping, const std::string& kbm_name);

// Shifts every mapped key so that `key` sounds at `cents` from equal
// temperament at A4 = 440 Hz; returns the shift. `key` must be mapped.
double tune_reference(KeyTable& table, int key, double cents);

// Cents from equal temperament at A4 = 440 Hz of `hz` played on `key`.
double cents_from_equal(int key, double hz);

// A decimal number such as 440 or 415.3 (sign, digits, one optional point),
// on its own: nothing when the text is anything else.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace retune
