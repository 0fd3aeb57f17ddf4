// Built-in tunings, each worked out from its definition: the sizes of its
// twelve fifths, or the ratios of its degrees.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "retune/tuning_table.h"

namespace retune {

// Cents of the twelve degrees above the root, degree 0 being 0.
using Degrees = std::array<double, kPitchClasses>;

struct NamedTuning {
  const char* name;
  const char* description;
  Degrees (*degrees)();
};

std::span<const NamedTuning> builtin_tunings();
const NamedTuning* find_tuning(std::string_view name);

// Offsets from equal temperament for `degrees` with its degree 0 on the
// pitch class `root`, which is left unbent.
Tuning offsets_on_root(const Degrees& degrees, int root);

// A pitch class: C, C#, Db, ... B (any case), or 0-11; -1 when it is none.
int parse_pitch_class(std::string_view text);

// What the user chose: twelve offsets, a built-in tuning, or a Scala scale
// with an optional keyboard mapping; and the pitch class of the first degree.
struct TuningChoice {
  std::vector<const char*> offsets;  // the twelve positional offsets, as given
  std::string name;                  // --tuning
  std::string scl_path;              // --scl
  std::string kbm_path;              // --kbm
  std::optional<int> root;           // --root

  bool by_name() const { return !name.empty() || !scl_path.empty(); }
};

// The offsets `choice` gives, each checked against +-`limit` cents.
Tuning resolve_tuning(const TuningChoice& choice, double limit);

// Reads one offset in cents: white space, sign, decimal digits with an
// optional point, optional exponent; what follows is ignored. Nothing when no
// number is there; an infinity when it is too large for a double.
std::optional<double> parse_cents(std::string_view text);

// Offsets as positional arguments that read back exactly.
std::string format_offsets(const Tuning& cent);

// The built-in tunings, described, with their offsets from C.
std::string list_tunings();

}  // namespace retune
