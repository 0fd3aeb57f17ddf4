#include <cmath>

#include "retune/retune.h"

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

double max_offset(const Method& method) { return method.mts ? 100.0 : 100.0 * method.bend_range; }

}  // namespace retune
