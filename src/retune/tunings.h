// Built-in tunings, each worked out from its definition: the sizes of its
// twelve fifths, or the ratios of its degrees.
#pragma once

#include <span>
#include <string_view>

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

}  // namespace retune
