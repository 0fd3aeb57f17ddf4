// The polyphonic mode: literal bytes for the rules that shape its output,
// then the independent checker over dense generated files and real ones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "poly_check.h"
#include "poly_gen.h"
#include "driver/report.h"
#include "retune/analyze.h"
#include "retune/poly.h"
#include "tuning/tunings.h"
#include "run_binary.h"

using namespace smf_test;
using retune::KeyTable;
using retune::Method;
using retune::Tuning;

namespace {

const Tuning kMeantone = {0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4, -10.3, 6.8, -17.1};
// Three offsets only: chords of any size need at most three channels.
const Tuning kThreeOffsets = {0, 12, -17, 0, 12, -17, 0, 12, -17, 0, 12, -17};

Method poly(int bend_range = 0, uint16_t skipped = 0, bool ignore_bends = false) {
  Method m;
  m.poly = true;
  if (bend_range) m.bend_range = bend_range, m.declare_bend_range = true;
  m.skipped_channels = skipped;
  m.ignore_file_bends = ignore_bends;
  return m;
}

Method mpe(int bend_range = 48, uint16_t skipped = 0) {
  Method m = poly(bend_range, skipped);
  m.mpe = true;
  return m;
}

// Three offsets, two of them beyond two semitones: on a range of two, every
// third key is played three keys up and every third four keys down, with the
// bends of kThreeOffsets.
KeyTable three_offsets_moved() {
  KeyTable keys;
  for (int k = 0; k < retune::kKeys; ++k) {
    keys.mapped[k] = true;
    keys.offset[k] = std::array{0.0, 312.0, -417.0}[k % 3];
  }
  return keys;
}

// Three offsets by key, every fifth key unmapped (played at 0 cents).
KeyTable three_offsets_by_key() {
  KeyTable keys;
  for (int k = 0; k < retune::kKeys; ++k) {
    keys.mapped[k] = k % 5 != 0;
    keys.offset[k] = keys.mapped[k] ? kThreeOffsets[k % 3] : 0;
  }
  return keys;
}

std::string retuned(std::string_view events, const Tuning& cent, const Method& method = poly(),
                    retune::PolyReport* report = nullptr) {
  return retune::retune_poly(smf({hex(events)}, 0), KeyTable::from_pitch_classes(cent), method, report);
}

poly_check::Options check_options(const KeyTable& keys, const Method& method) {
  poly_check::Options o;
  for (int k = 0; k < retune::kKeys; ++k) o.offset[k] = keys.mapped[k] ? keys.offset[k] : 0;
  o.bend_range = method.declare_bend_range ? method.bend_range : 0;
  o.skipped = method.skipped_channels;
  o.ignore_bends = method.ignore_file_bends;
  o.mpe = method.mpe;
  return o;
}

poly_check::Options check_options(const Tuning& cent, const Method& method) {
  return check_options(KeyTable::from_pitch_classes(cent), method);
}

// Retunes `input` and checks the output; returns the checker's result.
poly_check::Result retune_and_check(const std::string& input, const KeyTable& keys, const Method& method,
                                    retune::PolyReport* report = nullptr) {
  retune::PolyReport made;
  const std::string output = retune::retune_poly(input, keys, method, &made);
  if (report) *report = made;
  return poly_check::check(input, output, check_options(keys, method));
}

TEST(Poly, LiteralOutputs) {
  // Meantone E: -13.7 cents, 8192 - 561 = 7631 (4F 3B); with the file's bend
  // of +2048, 9679 (4F 4B).
  const struct {
    const char* name;
    const char* input;
    Method method;
    const char* output;
  } cases[] = {
      {"a chord over two channels; the second takes on program and volume first; drums pass through",
       "00 C0 05 00 B0 07 50 00 90 3C 40 00 90 40 40 00 99 24 64 60 80 3C 40 00 80 40 40 00 FF 2F 00", poly(),
       "00 C0 05 00 B0 07 50 00 E0 00 40 00 90 3C 40 00 C1 05 00 B1 07 50 00 E1 4F 3B 00 91 40 40 00 99 24 64 "
       "60 80 3C 40 00 81 40 40 00 FF 2F 00"},
      {"the file's bend on every channel of its source, each with its own offset",
       "00 90 3C 40 00 40 40 30 E0 00 50 30 80 3C 40 00 40 40", poly(),
       "00 E0 00 40 00 90 3C 40 00 E1 4F 3B 00 91 40 40 30 E0 00 50 00 E1 4F 4B 30 80 3C 40 00 81 40 40"},
      {"or none with --in-bends ignore", "00 90 3C 40 00 40 40 30 E0 00 50 30 80 3C 40 00 40 40", poly(0, 0, true),
       "00 E0 00 40 00 90 3C 40 00 E1 4F 3B 00 91 40 40 60 80 3C 40 00 81 40 40"},
      {"a note held by the pedal keeps its channel from a note of another bend",
       "00 B0 40 7F 00 90 3C 40 10 80 3C 40 00 90 40 40 10 B0 40 00 00 80 40 40 00 90 40 40", poly(),
       "00 B0 40 7F 00 E0 00 40 00 90 3C 40 10 80 3C 40 00 B1 40 7F 00 E1 4F 3B 00 91 40 40 10 B0 40 00 00 B1 40 00 "
       "00 81 40 40 00 91 40 40"},
      {"the user's range, declared before the first note after a reset",
       "00 F0 05 7E 7F 09 01 F7 00 90 40 40", poly(12),
       "00 F0 05 7E 7F 09 01 F7 00 B0 65 00 00 64 00 00 06 0C 00 26 00 00 65 7F 00 64 7F 00 E0 23 3F 00 90 40 40"},
      {"the user's range goes to registered parameter 0 where the file left non-registered numbers set",
       "00 B0 63 01 00 62 08 00 65 00 00 64 00 00 90 40 40", poly(12),
       "00 B0 63 01 00 62 08 00 65 00 00 64 00 00 63 7F 00 62 7F 00 65 00 00 64 00 00 06 0C 00 26 00 "
       "00 63 01 00 62 08 00 65 00 00 64 00 00 E0 23 3F 00 90 40 40"},
      {"the file's range: twelve semitones, so E is 8192 - 93",
       "00 B0 65 00 00 64 00 00 06 0C 00 90 40 40", poly(), "00 B0 65 00 00 64 00 00 06 0C 00 E0 23 3F 00 90 40 40"},
      {"the file's range under the user's: its bend of +1024 at 12 semitones is +6144 at 2",
       "00 B0 65 00 00 64 00 00 06 0C 00 E0 00 48 00 90 3C 40", poly(2),
       "00 B0 65 00 00 64 00 00 06 02 00 26 00 00 E0 00 70 00 90 3C 40"},
      {"a reset, here in two packets, ends every note; its note-off still comes where it was",
       "00 90 3C 40 00 F0 03 7E 7F 09 00 F7 02 01 F7 10 80 3C 40", poly(),
       "00 E0 00 40 00 90 3C 40 00 F0 03 7E 7F 09 00 F7 02 01 F7 10 80 3C 40"},
      {"all notes off ends the source's notes; their note-offs still come where they were",
       "00 90 3C 40 00 90 40 40 10 B0 7B 00 10 80 3C 40 00 80 40 40", poly(),
       "00 E0 00 40 00 90 3C 40 00 E1 4F 3B 00 91 40 40 10 B0 7B 00 00 B1 7B 00 10 80 3C 40 00 81 40 40"},
      // Two channels for notes: D (7914, 6A 3D) finds them both busy with
      // notes the pedal alone holds; those of the channel busy longest end
      // there, with the note-off all notes off stood for, the pedal lifted
      // and pressed again.
      {"all notes off leaves the pedal's notes sounding, but they give way first",
       "00 B0 40 7F 00 90 3C 40 00 90 40 40 10 B0 7B 00 00 90 3E 40", poly(0, 0xFFFC),
       "00 B0 40 7F 00 E0 00 40 00 90 3C 40 00 B1 40 7F 00 E1 4F 3B 00 91 40 40 10 B0 7B 00 00 B1 7B 00 "
       "00 80 3C 40 00 B0 40 00 00 40 7F 00 E0 6A 3D 00 90 3E 40"},
      // The same with C's key still held: E alone sounds only through the
      // pedal, and gives way.
      {"a held note keeps its channel; one the pedal alone holds gives way",
       "00 B0 40 7F 00 90 3C 40 00 90 40 40 10 80 40 40 00 90 3E 40", poly(0, 0xFFFC),
       "00 B0 40 7F 00 E0 00 40 00 90 3C 40 00 B1 40 7F 00 E1 4F 3B 00 91 40 40 10 81 40 40 00 B1 40 00 00 40 7F "
       "00 E1 6A 3D 00 91 3E 40"},
      {"all sound off ends them too",
       "00 B0 40 7F 00 90 3C 40 00 90 40 40 10 B0 78 00 00 90 3E 40", poly(0, 0xFFFC),
       "00 B0 40 7F 00 E0 00 40 00 90 3C 40 00 B1 40 7F 00 E1 4F 3B 00 91 40 40 10 B0 78 00 00 B1 78 00 00 E0 6A 3D "
       "00 90 3E 40"},
      {"reset-all-controllers lifts the pedal: the channel is free for another bend",
       "00 B0 40 7F 00 90 3C 40 10 80 3C 40 00 B0 79 00 00 90 40 40", poly(0, 0xFFFE),
       "00 B0 40 7F 00 E0 00 40 00 90 3C 40 10 80 3C 40 00 B0 79 00 00 E0 4F 3B 00 90 40 40"},
      {"reset-all-controllers centres the synthesizer's bend: the note's own comes again",
       "00 90 40 40 00 E0 00 50 00 B0 79 00", poly(),
       "00 E0 4F 3B 00 90 40 40 00 E0 4F 4B 00 B0 79 00 00 E0 4F 3B"},
      {"a bank select alone: the borrowed channel gets it and the program change that makes it take effect",
       "00 B0 00 01 00 90 3C 40 00 90 40 40", poly(),
       "00 B0 00 01 00 E0 00 40 00 90 3C 40 00 B1 00 01 00 20 00 00 C1 00 00 E1 4F 3B 00 91 40 40"},
      {"settings at their General MIDI values are carried too: volume 100, reverb send 0",
       "00 B0 07 64 00 5B 00 00 90 3C 40 00 90 40 40", poly(),
       "00 B0 07 64 00 5B 00 00 E0 00 40 00 90 3C 40 00 B1 07 64 00 5B 00 00 E1 4F 3B 00 91 40 40"},
      {"fine tuning is carried, and the source's parameter selection after it",
       "00 B0 65 00 00 64 01 00 06 40 00 26 20 00 90 3C 40 00 90 40 40", poly(),
       "00 B0 65 00 00 64 01 00 06 40 00 26 20 00 E0 00 40 00 90 3C 40 00 B1 65 00 00 64 01 00 06 40 00 26 20 "
       "00 E1 4F 3B 00 91 40 40"},
      {"a parameter the borrowed channel holds and the source never set goes back to its default",
       "00 B1 65 00 00 64 01 00 06 50 00 90 3C 40 00 90 40 40", poly(0, 0xFFFC),
       "00 B1 65 00 00 64 01 00 06 50 00 E0 00 40 00 90 3C 40 00 B1 06 40 00 65 7F 00 64 7F 00 E1 4F 3B 00 91 40 40"},
      {"a bend range of 0 cannot tune: the channel keeps 2 semitones",
       "00 B0 65 00 00 64 00 00 06 00 00 26 00 00 90 40 40", poly(),
       "00 B0 65 00 00 64 00 00 E0 4F 3B 00 90 40 40"},
      // One channel for notes: C, caught by the sostenuto pedal, sounds on
      // after its note-off, so E finds a note the pedal alone holds.
      {"the sostenuto pedal holds the note it caught",
       "00 90 3C 40 00 B0 42 7F 10 80 3C 40 00 90 40 40", poly(0, 0xFFFE),
       "00 E0 00 40 00 90 3C 40 00 B0 42 7F 10 80 3C 40 00 B0 42 00 00 42 7F 00 E0 4F 3B 00 90 40 40"},
      {"a skipped channel passes through and takes no notes",
       "00 90 3C 40 00 40 40", poly(0, 0x0002), "00 E0 00 40 00 90 3C 40 00 E2 4F 3B 00 92 40 40"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_hex(retuned(c.input, kMeantone, c.method)), to_hex(smf({hex(c.output)}, 0))) << c.name;
  }
}

TEST(Poly, KeysBeyondTheBendRangeArePlayedOnTheNearestKey) {
  // E at +250 cents: on key 67 (G) at -50 cents, 8192 - 2048 = 6144 (00 30),
  // its aftertouch and note-off there too; within a range of 12 semitones it
  // stays, at 8192 + 1706 (2A 4D).
  KeyTable keys = KeyTable::from_pitch_classes(kThreeOffsets);
  keys.offset[64] = 250;
  const struct {
    const char* input;
    const char* output;
  } cases[] = {
      {"00 90 3C 40 00 90 40 40 10 A0 40 20 10 80 3C 40 00 80 40 40",
       "00 E0 00 40 00 90 3C 40 00 E1 00 30 00 91 43 40 10 A1 43 20 10 80 3C 40 00 81 43 40"},
      {"00 B0 65 00 00 64 00 00 06 0C 00 90 40 40",
       "00 B0 65 00 00 64 00 00 06 0C 00 E0 2A 4D 00 90 40 40"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(to_hex(retune::retune_poly(smf({hex(c.input)}, 0), keys, poly())), to_hex(smf({hex(c.output)}, 0)));

  // A tuning of the keys far beyond the bends is played, not refused: of C4,
  // C5 and C2, at 0, -442 and +884 cents, the last two are moved.
  TempDir dir;
  const std::string in = (dir / "in.mid").string();
  write_file(in, smf({hex("00 90 3C 40 00 90 48 40 00 90 24 40 60 80 3C 40 00 80 48 40 00 80 24 40")}, 0));
  const Result r = run_program(RETUNE_BIN, {"--poly", "--tuning", "edo:19", "--verbose", in});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, retune::retune_poly(read_file(in), retune::builtin_table("edo:19", 0), poly()));
  EXPECT_EQ(r.err,
            "retune: 3 pitch-bend events inserted, 2 notes moved to the nearest key\n"
            "  channel 1: 3 notes, up to 3 bends at once, on channels 1 2 3 (borrowed: 2 3)\n");
}

TEST(Poly, FormatTwoTracksAreSequencesOfTheirOwn) {
  const std::string track = hex("00 90 3C 40 00 90 40 40 60 80 3C 40 00 80 40 40 00 FF 2F 00");
  const std::string expected = hex("00 E0 00 40 00 90 3C 40 00 E1 4F 3B 00 91 40 40 60 80 3C 40 00 81 40 40 00 FF 2F 00");
  const KeyTable keys = KeyTable::from_pitch_classes(kMeantone);
  EXPECT_EQ(to_hex(retune::retune_poly(smf({track, track}, 2), keys, poly())), to_hex(smf({expected, expected}, 2)));
  // Merged, the second track's chord needs channels of its own.
  const std::string merged = retune::retune_poly(smf({track, track}, 1), keys, poly());
  EXPECT_NE(merged.substr(merged.size() - expected.size()), expected);
  EXPECT_EQ(poly_check::check(smf({track, track}, 1), merged, check_options(kMeantone, poly())).problem, "");
}

TEST(Poly, MoreBendsThanChannelsGoToTheNearestAndAreCounted) {
  // Twelve pitch classes on channel 1 and four on channel 2: sixteen bends
  // for fifteen channels. B on channel 2 shares E's channel, 3.4 cents off.
  std::string events;
  for (int k = 60; k < 72; ++k) events += "00 90 " + to_hex(std::string(1, static_cast<char>(k))) + " 40 ";
  events += "00 91 3C 40 00 91 40 40 00 91 43 40 00 91 47 40 60 81 47 40";
  retune::PolyReport report;
  const std::string input = smf({hex(events)}, 0);
  const poly_check::Result r = retune_and_check(input, KeyTable::from_pitch_classes(kMeantone), poly(), &report);
  EXPECT_EQ(r.problem, "");
  EXPECT_EQ(report.approximate, 1u);
  EXPECT_EQ(r.off, 1u);
  EXPECT_NEAR(report.max_cents_off, 3.39, 0.01);
  EXPECT_NEAR(r.max_cents_off, 3.39, 0.01);
  EXPECT_EQ(retune::driver::overflow_summary(report),
            "1 note sounded with more different bends at once than there are channels: each went to the "
            "channel of its own channel's notes whose bend was nearest, at most 3.4 cents off\n");
  // Bends needed at once, as --analyze counts them, though three channels were left.
  EXPECT_EQ(report.sources[1].most_bends, 4);
  EXPECT_EQ(report.sources[0].most_bends, 12);
}

// The MPE configuration (RPN 6 on channel 1: 15 members, or 8 with drums on
// channel 10) and each member's range of 48 semitones, after the reset the
// file starts with; E at -13.7 cents is 8192 - 23 (69 3F) on 48 semitones,
// 8192 - 46 (52 3F) on 24.
TEST(Mpe, ZoneAndNotes) {
  const std::string members15 = "00 B0 65 00 00 64 06 00 06 0F 00 65 7F 00 64 7F";
  auto member = [](int channel, int range) {
    const std::string c = to_hex(std::string(1, static_cast<char>(0xB0 | channel)));
    const std::string r = to_hex(std::string(1, static_cast<char>(range)));
    return " 00 " + c + " 65 00 00 64 00 00 06 " + r + " 00 26 00 00 65 7F 00 64 7F";
  };
  std::string ranges15, ranges8, ranges15_24;
  for (int c = 1; c <= 15; ++c) ranges15 += member(c, 48), ranges15_24 += member(c, 24);
  for (int c = 1; c <= 8; ++c) ranges8 += member(c, 48);
  const struct {
    const char* name;
    std::string input;
    Method method;
    std::string output;
  } cases[] = {
      {"a chord of channel 1 on members 2 and 3; its program on the manager",
       "00 F0 05 7E 7F 09 01 F7 00 C0 05 00 90 3C 40 00 90 40 40 60 80 3C 40 00 80 40 40", mpe(),
       "00 F0 05 7E 7F 09 01 F7 " + members15 + ranges15 +
           " 00 C0 05 00 E1 00 40 00 91 3C 40 00 E2 69 3F 00 92 40 40 60 81 3C 40 00 82 40 40"},
      {"drums on channel 10: eight members; channel 11's notes go to them too, its volume to the manager",
       "00 99 24 40 00 BA 07 50 00 9A 40 40 60 89 24 40 00 8A 40 40", mpe(),
       "00 B0 65 00 00 64 06 00 06 08 00 65 7F 00 64 7F" + ranges8 +
           " 00 99 24 40 00 B0 07 50 00 E1 69 3F 00 91 40 40 60 89 24 40 00 81 40 40"},
      {"the user's range", "00 90 40 40", mpe(24),
       members15 + ranges15_24 + " 00 E1 52 3F 00 91 40 40"},
      {"a source's reset of its controllers goes to the manager, and its member's pressure back to 0",
       "00 D0 64 00 90 40 40 00 B0 79 00", mpe(),
       members15 + ranges15 + " 00 D1 64 00 E1 69 3F 00 91 40 40 00 B0 79 00 00 D1 00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(to_hex(retuned(c.input, kMeantone, c.method)), to_hex(smf({hex(c.output)}, 0))) << c.name;
  // Two instruments sounding together in one zone are said to share its sound.
  retune::PolyReport report;
  retuned("00 C1 30 00 90 3C 40 00 91 40 40", kMeantone, mpe(), &report);
  EXPECT_TRUE(report.one_sound);
  const Result skipped = run_program(RETUNE_BIN, {"--mpe", "--tuning", "meantone", "--skip-channel", "1",
                                                   (std::string(EXAMPLES_DIR) + "/melody.mid"), "/dev/null"});
  EXPECT_EQ(skipped.status, 4);
  EXPECT_EQ(skipped.err, "--mpe needs channel 1 as its manager channel: do not skip it\n");
}

TEST(Poly, CompromisesAreReportedInOneLine) {
  const struct {
    const char* input;
    Method method;
    const char* summary;
  } cases[] = {
      {"00 B0 65 00 00 64 00 00 06 00 00 90 40 40", poly(),
       "channel 1 set a bend range too small for the tuning: their notes were bent within 2 semitones\n"},
      {"00 B0 40 7F 00 90 3C 40 00 90 40 40 10 B0 7B 00 00 90 3E 40", poly(0, 0xFFFC),
       "1 note ended early to free a channel for a note of another bend\n"},
      // D (7914) is nearest C (8192), 278 units of 8192 to 2 semitones.
      {"00 90 3C 40 00 90 40 40 10 90 3E 40", poly(0, 0xFFFC),
       "1 note sounded with more different bends at once than there are channels: each went to the channel of "
       "its own channel's notes whose bend was nearest, at most 6.8 cents off\n"},
      {"00 90 3C 40 00 90 40 40", poly(12), ""},
  };
  for (const auto& c : cases) {
    retune::PolyReport report;
    retuned(c.input, kMeantone, c.method, &report);
    EXPECT_EQ(retune::driver::overflow_summary(report), c.summary) << c.input;
  }
}

struct DenseCase {
  const char* name;
  KeyTable keys;
  Method method;
  int max_sources;
  bool fits;  // never more different bends at once than channels
};

TEST(Poly, DenseFilesPassTheChecker) {
  const DenseCase cases[] = {
      {"three offsets", KeyTable::from_pitch_classes(kThreeOffsets), poly(), 3, true},
      {"three offsets, the user's range", KeyTable::from_pitch_classes(kThreeOffsets), poly(12), 3, true},
      {"three offsets, bends ignored, channels skipped", KeyTable::from_pitch_classes(kThreeOffsets),
       poly(0, 0x0030, true), 3, true},
      {"three offsets by key, some keys unmapped", three_offsets_by_key(), poly(), 3, true},
      {"three offsets beyond the bends, keys moved", three_offsets_moved(), poly(), 3, true},
      {"three offsets beyond the user's range, keys moved", three_offsets_moved(), poly(2), 3, true},
      {"meantone, more bends than channels", KeyTable::from_pitch_classes(kMeantone), poly(), 6, false},
      {"edo:19, keys moved, more bends than channels", retune::builtin_table("edo:19", 0), poly(), 2, false},
      {"an MPE zone of eight members, three offsets", KeyTable::from_pitch_classes(kThreeOffsets), mpe(), 2, true},
      {"an MPE zone, meantone, more bends than members", KeyTable::from_pitch_classes(kMeantone), mpe(24), 3, false},
  };
  for (const DenseCase& c : cases) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      const std::string input = generate_dense({.seed = seed, .target_bytes = 30000, .max_sources = c.max_sources});
      retune::PolyReport report;
      const poly_check::Result r = retune_and_check(input, c.keys, c.method, &report);
      EXPECT_EQ(r.problem, "") << c.name << ", seed " << seed;
      EXPECT_GT(r.notes, 500u) << c.name;
      // A note placed approximately may still be right, its bend clamped like the channel's.
      EXPECT_LE(r.off + r.missing, report.approximate + report.ended_early + report.dropped) << c.name << ", seed " << seed;
      if (c.fits) {
        EXPECT_EQ(report.approximate + report.ended_early + report.dropped, 0u) << c.name << ", seed " << seed;
      } else {
        EXPECT_GT(r.off, 0u) << c.name << ", seed " << seed;
      }
    }
  }
}

// MIDI files that Debian packages install, when they are there, and those in
// the directories RETUNE_MIDI_DIRS names (separated by colons).
std::vector<std::string> real_files() {
  std::vector<std::string> dirs = {"/usr/share/games/openttd/baseset/openmsx", "/usr/share/planetblupi/music"};
  if (const char* more = std::getenv("RETUNE_MIDI_DIRS"))
    for (std::string_view rest = more; !rest.empty();) {
      const size_t colon = std::min(rest.find(':'), rest.size());
      dirs.emplace_back(rest.substr(0, colon));
      rest.remove_prefix(std::min(colon + 1, rest.size()));
    }
  std::vector<std::string> files;
  for (const std::string& dir : dirs) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
      if (entry.path().extension() == ".mid" || entry.path().extension() == ".kar") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A file whose tracks each outgrow what a writer holds before it spills:
// the output through the scratch file is the one kept in memory.
TEST(Poly, TracksSpilledToAFileGiveTheSameOutput) {
  const std::string input = generate_dense({.seed = 21, .target_bytes = 3 << 20, .max_sources = 4});
  const KeyTable keys = KeyTable::from_pitch_classes(kMeantone);
  const std::string held = retune::retune_poly(input, keys, poly());
  FILE* scratch = std::tmpfile();
  ASSERT_NE(scratch, nullptr);
  retune::io::FdSpool spool(fileno(scratch));
  retune::io::MemorySink out;
  retune::retune_poly(input, keys, poly(), &spool, out);
  struct stat st {};
  ASSERT_EQ(fstat(fileno(scratch), &st), 0);
  EXPECT_GT(st.st_size, 1 << 20);  // it spilled
  std::fclose(scratch);
  EXPECT_TRUE(out.bytes() == held);
}

TEST(Poly, RealFilesPassTheChecker) {
  const std::vector<std::string> files = real_files();
  if (files.empty()) GTEST_SKIP() << "no MIDI files installed";
  for (const std::string& path : files) {
    const std::string input = read_file(path);
    for (const Method& method : {poly(), poly(12)}) {
      retune::PolyReport report;
      const poly_check::Result r = retune_and_check(input, KeyTable::from_pitch_classes(kMeantone), method, &report);
      EXPECT_EQ(r.problem, "") << path;
      EXPECT_LE(r.off + r.missing, report.approximate + report.ended_early + report.dropped) << path;
    }
    // --analyze, the hint and --poly find the same channels needing several bends at once.
    const KeyTable keys = KeyTable::from_pitch_classes(kMeantone);
    const retune::Analysis analysis = retune::analyze(input, keys, poly());
    retune::PolyReport report;
    retune::retune_poly(input, keys, poly(), &report);
    uint16_t chords = 0;
    for (int c = 0; c < 16; ++c) chords |= static_cast<uint16_t>((report.sources[c].most_bends > 1) << c);
    EXPECT_EQ(analysis.chords, chords) << path;
    EXPECT_EQ(retune::driver::plain_method_hint(analysis).find("chords") != std::string::npos, chords != 0) << path;
  }
}

std::vector<std::string> command(std::vector<std::string> options, const std::string& file) {
  for (double cents : kMeantone) options.push_back(std::to_string(cents));
  options.push_back(file);
  return options;
}

TEST(Poly, CommandLine) {
  TempDir dir;
  const std::string in = (dir / "in.mid").string();
  write_file(in, smf({hex("00 90 3C 40 00 90 40 40 60 80 3C 40 00 80 40 40 00 FF 2F 00")}, 0));
  const struct {
    std::vector<std::string> args;
    int status;
    const char* err;
  } cases[] = {
      {command({"--poly", "--mts"}, in), 4,
       "Give either --mts or --poly, not both: a tuning message keeps chords in tune by itself\n"},
      {command({"--in-bends", "ignore"}, in), 4, "Option --in-bends goes with --poly\n"},
      {command({"--poly", "--in-bends", "drop"}, in), 4,
       "Invalid value \"drop\" for --in-bends: expected keep or ignore\n"},
      {command({"--poly"}, in), 0, ""},
      {command({"--poly", "--in-bends=ignore", "--verbose"}, in), 0,
       "retune: 2 pitch-bend events inserted\n  channel 1: 2 notes, up to 2 bends at once, on channels 1 2 (borrowed: 2)\n"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << c.args[1];
    EXPECT_EQ(r.err, c.err);
    if (c.status == 0) {
      EXPECT_EQ(r.out, retune::retune_poly(read_file(in), KeyTable::from_pitch_classes(kMeantone), poly()));
    }
  }
  // A named outfile is written, a failure leaves it alone.
  const std::string out = (dir / "out.mid").string();
  std::vector<std::string> to_file = command({"--poly"}, in);
  to_file.push_back(out);
  EXPECT_EQ(run_program(RETUNE_BIN, to_file).status, 0);
  EXPECT_EQ(poly_check::check(read_file(in), read_file(out), check_options(kMeantone, poly())).problem, "");
  const std::string before = read_file(out);
  write_file(in, "MThd");
  const Result bad = run_program(RETUNE_BIN, to_file);
  EXPECT_EQ(bad.status, 255);
  EXPECT_EQ(bad.err, "File format error: EOF encountered\n");
  EXPECT_EQ(read_file(out), before);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
}

}  // namespace
