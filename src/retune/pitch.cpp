#include <algorithm>
#include <cmath>

#include "retune/pitch.h"

namespace retune {

double bend_units(double cents, double range) {
  // Evaluated left to right as written: for the default range this is
  // exactly cents * 0.01 * 4096, 4096 units to 100 cents.
  return std::trunc(cents * 0.01 * 8192 / range);
}

int bend_value(double cents, int range) {
  const double value = kBendCentre + bend_units(cents, range);
  if (!(value > 0)) return 0;
  if (value > kBendMax) return kBendMax;
  return static_cast<int>(value);
}

void getPitch(uint8_t& bb, uint8_t& tt, int note, const Tuning& cent, int range) {
  const int value = bend_value(cent[static_cast<unsigned>(note) % kPitchClasses], range);
  bb = static_cast<uint8_t>(value & 0x7F);
  tt = static_cast<uint8_t>(value >> 7);
}

double key_offset(const KeyTable& table, int byte) {
  const int key = byte < kKeys ? byte : byte % kPitchClasses;
  return table.mapped[key] ? table.offset[key] : 0.0;
}

KeyPlace place_key(const KeyTable& table, int byte, double range) {
  return place_offset(byte, key_offset(table, byte), range);
}

KeyPlace place_offset(int byte, double offset, double range) {
  const int key = byte < kKeys ? byte : byte % kPitchClasses;
  int played = byte;
  if (byte < kKeys && std::fabs(offset) > 100.0 * range) {
    played = static_cast<int>(std::clamp(key + std::round(offset / 100), 0.0, kKeys - 1.0));
    offset -= 100.0 * (played - key);
  }
  return {static_cast<uint8_t>(played), offset};
}

PlayedKey play_key(const KeyTable& table, int byte, int range) {
  const KeyPlace place = place_key(table, byte, range);
  const int value = bend_value(place.cents, range);
  return {place.key, static_cast<uint8_t>(value & 0x7F), static_cast<uint8_t>(value >> 7)};
}

double bends_range(const Method& method, double file_range) {
  return method.declare_bend_range ? method.bend_range : file_range;
}

int note_bend_by(int file_bend, double file_range, double units, double range) {
  if (!(range > 0)) return file_bend;
  double file = file_bend - kBendCentre;
  if (file_range != range) file = std::round(file * file_range / range);
  const double value = kBendCentre + file + units;
  return static_cast<int>(std::clamp(value, 0.0, static_cast<double>(kBendMax)));
}

Reach out_of_reach(const KeyTable& table, const Method& method) {
  Reach reach;
  if (method.mts) return reach;  // the synthesizer takes the offsets from each key as it can
  const double bend = method.tunes_keys() ? 0.0 : 100.0 * method.bend_range;
  const double lowest = -bend;
  const double highest = method.tunes_keys() ? 100.0 * static_cast<double>(kHighestFrequency) / kFractionSteps
                                         : 100.0 * (kKeys - 1) + bend * (kBendMax - kBendCentre) / kBendCentre;
  for (int key = 0; key < kKeys; ++key) {
    if (!table.mapped[key]) continue;
    const double pitch = 100.0 * key + table.offset[key];
    const double miss = std::max({0.0, lowest - pitch, pitch - highest});
    if (miss > 0) {
      reach.beyond.set(static_cast<size_t>(key));
      reach.most_cents = std::max(reach.most_cents, miss);
    }
  }
  return reach;
}

double max_offset(const Method& method) {
  if (method.tunes_keys()) return 100.0 * (kKeys - 1);  // beyond it, no key would stay on the keyboard
  return method.mts ? 100.0 : 100.0 * method.bend_range;
}

}  // namespace retune
