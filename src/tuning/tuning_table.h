// Tunings as the passes see them.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace retune {

inline constexpr int kPitchClasses = 12;
inline constexpr int kKeys = 128;
inline constexpr const char* kPitchClassNames[kPitchClasses] = {"C",  "C#", "D",  "D#", "E",  "F",
                                                                "F#", "G",  "G#", "A",  "A#", "B"};

// Fine-tuning offsets in cents for the pitch classes C, C#, ... B.
using Tuning = std::array<double, kPitchClasses>;

// The tuning of every MIDI key: the offset in cents, from twelve-tone equal
// temperament at A4 = 440 Hz (key k at 100 k cents), of the pitch the key is
// to sound; or unmapped: the key is played as it is.
struct KeyTable {
  std::array<double, kKeys> offset{};
  std::array<bool, kKeys> mapped{};
  std::string name;  // what the tuning is called, for the messages that carry a name

  // The pitch `key` sounds at, in cents above key 0 of equal temperament; an
  // unmapped key sounds at its own.
  double pitch(int key) const { return 100.0 * key + (mapped[key] ? offset[key] : 0.0); }

  // Every key of a pitch class takes that class's offset.
  static KeyTable from_pitch_classes(const Tuning& cent) {
    KeyTable table;
    for (int key = 0; key < kKeys; ++key) {
      table.offset[key] = cent[key % kPitchClasses];
      table.mapped[key] = true;
    }
    return table;
  }

  // The twelve offsets, when every key is mapped and takes its class's.
  std::optional<Tuning> pitch_classes() const {
    Tuning cent{};
    for (int key = 0; key < kKeys; ++key) {
      if (!mapped[key]) return std::nullopt;
      if (key < kPitchClasses) cent[key] = offset[key];
      else if (offset[key] != cent[key % kPitchClasses]) return std::nullopt;
    }
    return cent;
  }
};

}  // namespace retune
