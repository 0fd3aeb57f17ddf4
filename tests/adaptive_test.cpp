#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "retune/adaptive.h"
#include "retune/poly.h"
#include "support/chorale_gen.h"
#include "support/intonation_judge.h"
#include "tuning/tunings.h"

namespace {

using namespace retune;

std::string adaptive(const std::string& input, Method method = {}) {
  method.adaptive = method.poly = true;
  KeyTable equal{};
  equal.mapped.fill(true);
  AdaptivePlanner planner(method);
  io::MemorySink sink;
  retune_poly(input, equal, method, nullptr, sink, &planner);
  return sink.bytes();
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

TEST(Adaptive, ChoralesAreJustWithoutDrift) {
  std::vector<double> purity, drift;
  double farthest = 0;
  uint64_t bends_under_notes = 0, lost = 0;
  for (uint64_t seed = 1; seed <= 60; ++seed) {
    const std::vector<smf_test::ChoraleNote> notes = smf_test::generate_chorale(seed);
    for (bool voices : {false, true}) {
      const std::string input = smf_test::chorale_file(notes, voices);
      const judge::Verdict in = judge::judge(input), out = judge::judge(adaptive(input));
      ASSERT_EQ(out.error, "");
      lost += in.notes.size() - out.notes.size();
      purity.push_back(out.purity());
      drift.push_back(std::fabs(out.drift));
      farthest = std::max(farthest, out.farthest);
      bends_under_notes += out.bends_under_notes;
    }
  }
  std::printf("purity median %.3f, worst tenth %.3f, min %.3f; |drift| median %.2f, max %.2f; farthest %.1f\n",
              quantile(purity, 0.5), quantile(purity, 0.1), quantile(purity, 0), quantile(drift, 0.5),
              quantile(drift, 1), farthest);
  EXPECT_GE(quantile(purity, 0.5), 0.95);
  EXPECT_GE(quantile(purity, 0.1), 0.90);
  EXPECT_LE(quantile(drift, 0.5), 3.0);
  EXPECT_LE(quantile(drift, 1), 10.0);
  EXPECT_LE(farthest, 30.0 + 1e-6);
  EXPECT_EQ(bends_under_notes, 0u);
  EXPECT_EQ(lost, 0u);
}

// C - Am - Dm - G - C, each change holding two common tones (the soprano and
// tenor, then the alto, then the soprano, then the alto): pure all through, the
// pitch would sink a syntonic comma a round.
TEST(Adaptive, CommaPumpKeepsItsLevel) {
  const int chords[4][4] = {{72, 67, 64, 48}, {72, 69, 64, 45}, {74, 69, 65, 50}, {74, 67, 59, 43}};
  std::vector<smf_test::ChoraleNote> notes;
  std::array<size_t, 4> last{};
  for (int step = 0; step < 4 * 12 + 1; ++step) {
    const uint64_t tick = static_cast<uint64_t>(step) * smf_test::kChoraleQuarter;
    for (int v = 0; v < 4; ++v) {
      const int key = chords[step % 4][v];
      if (step > 0 && notes[last[v]].key == key) {
        notes[last[v]].end += smf_test::kChoraleQuarter;
        continue;
      }
      last[v] = notes.size();
      notes.push_back({tick, tick + smf_test::kChoraleQuarter, v, key});
    }
  }
  std::stable_sort(notes.begin(), notes.end(), [](auto& a, auto& b) { return a.start < b.start; });
  const judge::Verdict out = judge::judge(adaptive(smf_test::chorale_file(notes, true)));
  std::printf("comma pump: purity %.3f of %lu pairs, drift %.2f, farthest %.1f\n", out.purity(),
              static_cast<unsigned long>(out.pairs), out.drift, out.farthest);
  EXPECT_GE(out.purity(), 0.85);
  EXPECT_LE(std::fabs(out.drift), 3.0);
  EXPECT_LE(out.farthest, 30.0 + 1e-6);
  EXPECT_EQ(out.bends_under_notes, 0u);
}

}  // namespace
