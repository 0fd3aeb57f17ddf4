#include <gtest/gtest.h>

#include "retune/retune.h"

using retune::getPitch;
using retune::Tuning;

namespace {

struct BendCase {
  double cents;
  int lsb, msb;
};

TEST(Pitch, WorkedValues) {
  const BendCase cases[] = {
      {0, 0x00, 0x40},      {1, 0x28, 0x40},       {-1, 0x58, 0x3F},    {10, 0x19, 0x43},
      {-10, 0x67, 0x3C},    {50, 0x00, 0x50},      {-50, 0x00, 0x30},   {100, 0x00, 0x60},
      {199.99, 0x7F, 0x7F}, {-200, 0x00, 0x00},    {25, 0x00, 0x48},    {-75, 0x00, 0x28},
      {0.0244, 0x00, 0x40}, {-0.0244, 0x00, 0x40}, {200, 0x7F, 0x7F},   {1e9, 0x7F, 0x7F},
      {-1e9, 0x00, 0x00},
  };
  for (const BendCase& c : cases) {
    Tuning cent{};
    cent[0] = c.cents;
    uint8_t bb = 0xAA, tt = 0xAA;
    getPitch(bb, tt, 60, cent);
    EXPECT_EQ(bb, c.lsb) << c.cents;
    EXPECT_EQ(tt, c.msb) << c.cents;
  }
}

TEST(Pitch, NoteTakesItsPitchClass) {
  Tuning cent;
  for (int i = 0; i < 12; ++i) cent[i] = 10.0 * i;  // distinct bends per class
  const std::pair<int, int> notes[] = {{0, 0}, {12, 0}, {60, 0}, {120, 0}, {61, 1}, {127, 7}, {71, 11}, {255, 3}};
  for (auto [note, pitch_class] : notes) {
    uint8_t bb, tt, want_bb, want_tt;
    getPitch(bb, tt, note, cent);
    getPitch(want_bb, want_tt, pitch_class, cent);
    EXPECT_EQ(bb, want_bb) << note;
    EXPECT_EQ(tt, want_tt) << note;
  }
}

TEST(Pitch, OtherBendRangesScaleTheValue) {
  // value = 8192 + trunc(cents * 0.01 * 8192 / range)
  const struct {
    double cents;
    int range;
    int value;
  } cases[] = {{100, 1, 16383}, {50, 1, 12288}, {-100, 1, 0}, {100, 12, 8874}, {-1200, 12, 0}, {1200, 12, 16383},
               {2400, 24, 16383}, {10, 2, 8601}, {-10, 4, 7988}};
  for (const auto& c : cases) EXPECT_EQ(retune::bend_value(c.cents, c.range), c.value) << c.cents << "/" << c.range;
}

}  // namespace
