#pragma once

#include <array>

namespace retune {

inline constexpr int kPitchClasses = 12;
inline constexpr const char* kPitchClassNames[kPitchClasses] = {"C",  "C#", "D",  "D#", "E",  "F",
                                                                "F#", "G",  "G#", "A",  "A#", "B"};

// Fine-tuning offsets in cents for the pitch classes C, C#, ... B.
using Tuning = std::array<double, kPitchClasses>;

}  // namespace retune
