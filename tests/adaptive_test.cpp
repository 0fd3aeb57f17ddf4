#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "retune/adaptive.h"
#include "retune/analyze.h"
#include "retune/note_tunings.h"
#include "retune/poly.h"
#include "support/chorale_gen.h"
#include "support/run_binary.h"
#include "support/intonation_judge.h"
#include "tuning/tunings.h"

namespace {

using namespace retune;
using namespace smf_test;

enum class Output { kPoly, kMpe, kKeys };

std::string adaptive(const std::string& input, Output output = Output::kPoly) {
  Method method;
  method.adaptive = true;
  (output == Output::kKeys ? method.mts_keys : method.poly) = true;
  method.mpe = method.declare_bend_range = output == Output::kMpe;
  if (method.mpe) method.bend_range = 48;
  KeyTable equal{};
  equal.mapped.fill(true);
  AdaptivePlanner planner(method);
  io::MemorySink sink;
  if (output == Output::kKeys) retune_note_tunings(input, equal, method, nullptr, sink, planner);
  else retune_poly(input, equal, method, nullptr, sink, &planner);
  return sink.bytes();
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

// The chorales rendered both ways (one channel, a voice a channel), played
// through --poly, --mpe and single note tuning changes, as the independent
// reader hears them.
TEST(Adaptive, ChoralesAreJustWithoutDrift) {
  for (Output way : {Output::kPoly, Output::kMpe, Output::kKeys}) {
    std::vector<double> purity, drift;
    double farthest = 0;
    uint64_t bends_under_notes = 0, lost = 0;
    for (uint64_t seed = 1; seed <= 60; ++seed) {
      const std::vector<ChoraleNote> notes = generate_chorale(seed);
      for (bool voices : {false, true}) {
        const std::string input = chorale_file(notes, voices);
        const std::string output = adaptive(input, way);
        const judge::Verdict in = judge::judge(input), out = judge::judge(output);
        ASSERT_EQ(out.error, "");
        // --analyze hears the bends and tuning changes as the reader does
        const Intonation analysed = analyze(output, every_class_its_own(), {}).intonation;
        EXPECT_EQ(analysed.pairs, out.pairs) << seed << voices;
        EXPECT_EQ(analysed.pure, out.pure) << seed << voices;
        EXPECT_EQ(analysed.octave_pairs, out.octaves) << seed << voices;
        EXPECT_EQ(analysed.octaves_pure, out.octaves_pure) << seed << voices;
        EXPECT_NEAR(analysed.drift, out.drift, 1e-6);
        lost += in.notes.size() - out.notes.size();
        purity.push_back(out.purity());
        drift.push_back(std::fabs(out.drift));
        farthest = std::max(farthest, out.farthest);
        bends_under_notes += out.bends_under_notes;
      }
    }
    std::printf("%s: purity median %.3f, worst tenth %.3f, min %.3f; |drift| median %.2f, max %.2f; farthest %.1f\n",
                way == Output::kKeys ? "--mts=keys" : way == Output::kMpe ? "--mpe" : "--poly", quantile(purity, 0.5), quantile(purity, 0.1), quantile(purity, 0),
                quantile(drift, 0.5), quantile(drift, 1), farthest);
    EXPECT_GE(quantile(purity, 0.5), 0.95);
    EXPECT_GE(quantile(purity, 0.1), 0.90);
    EXPECT_LE(quantile(drift, 0.5), 3.0);
    EXPECT_LE(quantile(drift, 1), 10.0);
    EXPECT_LE(farthest, 30.0 + 1e-6);
    EXPECT_EQ(bends_under_notes, 0u);
    EXPECT_EQ(lost, 0u);
  }
}

// C - Am - Dm - G - C, each change holding two common tones (the soprano and
// tenor, then the alto, then the soprano, then the alto): pure all through, the
// pitch would sink a syntonic comma a round.
TEST(Adaptive, CommaPumpKeepsItsLevel) {
  const int chords[4][4] = {{72, 67, 64, 48}, {72, 69, 64, 45}, {74, 69, 65, 50}, {74, 67, 59, 43}};
  std::vector<ChoraleNote> notes;
  std::array<size_t, 4> last{};
  for (int step = 0; step < 4 * 12 + 1; ++step) {
    const uint64_t tick = static_cast<uint64_t>(step) * kChoraleQuarter;
    for (int v = 0; v < 4; ++v) {
      const int key = chords[step % 4][v];
      if (step > 0 && notes[last[v]].key == key) {
        notes[last[v]].end += kChoraleQuarter;
        continue;
      }
      last[v] = notes.size();
      notes.push_back({tick, tick + kChoraleQuarter, v, key});
    }
  }
  std::stable_sort(notes.begin(), notes.end(), [](auto& a, auto& b) { return a.start < b.start; });
  const judge::Verdict out = judge::judge(adaptive(chorale_file(notes, true)));
  std::printf("comma pump: purity %.3f of %lu pairs, drift %.2f, farthest %.1f\n", out.purity(),
              static_cast<unsigned long>(out.pairs), out.drift, out.farthest);
  EXPECT_GE(out.purity(), 0.85);
  EXPECT_LE(std::fabs(out.drift), 3.0);
  EXPECT_LE(out.farthest, 30.0 + 1e-6);
  EXPECT_EQ(out.bends_under_notes, 0u);
}

// The plan's pitches as single note tuning changes: one before each note-on
// whose key holds another pitch, none while the key sounds already, none for
// the drums; the selection of tuning program 0 at the start and after a reset.
TEST(Adaptive, NoteTuningsLiteral) {
  struct FixedPlan final : PitchPlanner {
    std::vector<NoteSpan> plan(const smf::File&, const std::vector<size_t>&) override {
      return {{0, 96, 0, 0x3C, 0, 6010}, {0, 96, 0, 0x40, 0, 6380}, {48, 96, 1, 0x40, 0, 6405}, {96, 192, 0, 0x3C, 0, 6010}};
    }
  } plan;
  const char* selection =
      "00 B0 65 00 00 B0 64 04 00 B0 06 00 00 B0 64 03 00 B0 06 00 00 B0 65 7F 00 B0 64 7F "
      "00 B1 65 00 00 B1 64 04 00 B1 06 00 00 B1 64 03 00 B1 06 00 00 B1 65 7F 00 B1 64 7F ";
  const char* tune_c = "00 F0 0B 7F 7F 08 02 00 01 3C 3C 0C 66 F7 ";  // C4 10 cents up
  const char* tune_e = "00 F0 0B 7F 7F 08 02 00 01 40 3F 66 33 F7 ";  // E4 20 cents down
  const std::string in_events =
      "00 90 3C 40 00 90 40 40 00 99 3C 40 30 91 40 40 30 80 3C 40 00 80 40 40 00 81 40 40 00 89 3C 40 "
      "00 F0 05 7E 7F 09 01 F7 00 90 3C 40 60 80 3C 40 00 FF 2F 00";
  const std::string out_events = std::string(selection) + tune_c + "00 90 3C 40 " + tune_e +
                                 "00 90 40 40 00 99 3C 40 30 91 40 40 30 80 3C 40 00 40 40 00 81 40 40 "
                                 "00 89 3C 40 00 F0 05 7E 7F 09 01 F7 " + selection + tune_c +
                                 "00 90 3C 40 60 80 3C 40 00 FF 2F 00";
  Method method;
  method.adaptive = method.mts_keys = true;
  method.skipped_channels = 0xFFFC & ~(1u << 9);
  KeyTable equal{};
  equal.mapped.fill(true);
  io::MemorySink sink;
  const NoteTuningReport report =
      retune_note_tunings(smf_test::smf({smf_test::hex(in_events)}, 0), equal, method, nullptr, sink, plan);
  EXPECT_EQ(smf_test::to_hex(sink.bytes()), smf_test::to_hex(smf_test::smf({smf_test::hex(out_events)}, 0)));
  EXPECT_EQ(report.notes, 4u);
  EXPECT_EQ(report.changes, 3u);
  EXPECT_EQ(report.key_sounding, 1u);
}

TEST(Adaptive, CommandLine) {
  TempDir dir;
  const std::string in = (dir / "in.mid").string(), out = (dir / "out.mid").string();
  write_file(in, smf_test::smf({smf_test::hex("00 90 3C 40 00 90 40 40 00 90 43 40 60 80 3C 40 00 80 40 40 00 80 43 "
                                              "40 00 FF 2F 00")}, 0));
  const char* no_tuning =
      "Option --adaptive takes no tuning: it plans every note's pitch from equal temperament (and --a4)\n";
  const char* plan =
      "retune: adaptive plan: 3 notes, 3 pairs sounding together with a just target, 3 iterations\n"
      "  intonation: 100.0% of 3 consonant pairs within 2 cents of just (RMS 0.07, largest 0.09 cents); drift +0.00 "
      "cents; farthest from equal temperament 9.72 cents\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--adaptive", "--tuning", "meantone", in, out}, 4, no_tuning},
      {{"--adaptive", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", in, out}, 4, no_tuning},
      {{"--adaptive", "--mts", in, out}, 4, "Option --adaptive plays through --poly, --mpe or --mts=keys, not --mts\n"},
      {{"--adaptive", "--mts=bulk", in, out}, 4,
       "Option --adaptive plays through --poly, --mpe or --mts=keys, not --mts=bulk\n"},
      {{"--analyze", "--adaptive", in}, 4, "Option --analyze reads the bends a file has: not with --adaptive\n"},
      {{"--adaptive", "--verbose", in, out}, 0,
       std::string(plan) + "  3 pitch-bend events inserted\n  channel 1: 3 notes, on channels 1 2 3 (borrowed: 2 3)\n"},
      {{"--adaptive", "--mts=keys", "--verbose", in, out}, 0, std::string(plan) + "  3 single note tuning changes inserted\n"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    const Result r = run_program(RETUNE_BIN, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(std::filesystem::exists(out), c.status == 0);
  }
}

}  // namespace
