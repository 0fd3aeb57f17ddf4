// Scala scale (.scl) and keyboard mapping (.kbm) files.
#pragma once

#include <string>
#include <vector>

#include "retune/tunings.h"

namespace retune {

// A scale: its description and the cents of its pitches above 1/1, the last
// being the period.
struct Scale {
  std::string description;
  std::vector<double> pitches;
};

// What retune takes from a keyboard mapping.
struct KeyboardMapping {
  int middle_note = 60;         // the key that sounds degree 0
  int reference_note = 69;      // the key tuned to reference_frequency
  double reference_frequency = 440.0;
};

// Reading a file that is missing or malformed is a Failure with status 4
// whose message names the file and, where it helps, the line.
Scale parse_scl(const std::string& text, const std::string& name);
Scale read_scl(const std::string& path);
KeyboardMapping parse_kbm(const std::string& text, const std::string& name);
KeyboardMapping read_kbm(const std::string& path);

// The degrees of a 12-note scale with a period of 1200 cents.
Degrees scale_degrees(const Scale& scale, const std::string& name);

// Offsets that put degree 0 on the middle note's pitch class and make the
// reference note sound at the reference frequency.
Tuning offsets_for_mapping(const Degrees& degrees, const KeyboardMapping& mapping);

}  // namespace retune
