// Built-in tunings against published values, Scala files, and the options
// that choose a tuning.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "driver/cli.h"
#include "retune/retune.h"
#include "retune/scala.h"
#include "refusal.h"
#include "run_binary.h"

using namespace retune;
using namespace smf_test;

namespace {

Degrees degrees_of(const char* name) {
  const NamedTuning* tuning = find_tuning(name);
  EXPECT_NE(tuning, nullptr) << name;
  return tuning ? tuning->degrees() : Degrees{};
}

// Cents above C for C, C#, D, ... B, as published to 0.1 cent or better:
// J. Murray Barbour, "Tuning and Temperament: A Historical Survey" (1951),
// tables for Pythagorean, 1/4- and 1/6-comma meantone, Werckmeister III,
// Kirnberger III and Vallotti; Thomas Young, "Outlines of Experiments and
// Inquiries Respecting Sound and Light" (Phil. Trans., 1800) for his second
// temperament; the 5-limit just scale from its ratios 1/1 16/15 9/8 6/5 5/4
// 4/3 45/32 3/2 8/5 5/3 9/5 15/8.
TEST(Tunings, MatchPublishedCents) {
  const struct {
    const char* name;
    double cents[12];
  } published[] = {
      {"equal", {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100}},
      {"pythagorean", {0, 113.7, 203.9, 294.1, 407.8, 498.0, 611.7, 702.0, 815.6, 905.9, 996.1, 1109.8}},
      {"meantone", {0, 76.0, 193.2, 310.3, 386.3, 503.4, 579.5, 696.6, 772.6, 889.7, 1006.8, 1082.9}},
      {"sixth-comma", {0, 88.6, 196.7, 304.9, 393.5, 501.6, 590.2, 698.4, 787.0, 895.1, 1003.3, 1091.9}},
      {"werckmeister3", {0, 90.2, 192.2, 294.1, 390.2, 498.0, 588.3, 696.1, 792.2, 888.3, 996.1, 1092.2}},
      {"kirnberger3", {0, 90.2, 193.2, 294.1, 386.3, 498.0, 590.2, 696.6, 792.2, 889.7, 996.1, 1088.3}},
      {"vallotti", {0, 94.1, 196.1, 298.0, 392.2, 502.0, 592.2, 698.0, 796.1, 894.1, 1000.0, 1090.2}},
      {"young", {0, 90.2, 196.1, 294.1, 392.2, 498.0, 588.3, 698.0, 792.2, 894.1, 996.1, 1090.2}},
      {"just", {0, 111.7, 203.9, 315.6, 386.3, 498.0, 590.2, 702.0, 813.7, 884.4, 1017.6, 1088.3}},
  };
  ASSERT_EQ(builtin_tunings().size(), std::size(published));
  for (const auto& p : published) {
    const Degrees d = degrees_of(p.name);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(d[i], p.cents[i], 0.051) << p.name << " degree " << i;
  }
}

TEST(Tunings, RootCarriesTheFirstDegree) {
  const Degrees d = degrees_of("just");
  const Tuning on_d = offsets_on_root(d, 2);
  EXPECT_EQ(on_d[2], 0.0);                     // the root is unbent
  EXPECT_NEAR(on_d[6], d[4] - 400, 1e-12);     // F# is the major third
  EXPECT_NEAR(on_d[0], d[10] - 1000, 1e-12);   // C is degree 10
  const struct {
    const char* text;
    int pitch_class;
  } names[] = {{"C", 0}, {"c", 0}, {"C#", 1}, {"Db", 1}, {"D", 2}, {"Eb", 3}, {"E", 4}, {"F#", 6}, {"Gb", 6},
               {"A", 9}, {"Bb", 10}, {"B", 11}, {"Cb", 11}, {"B#", 0}, {"0", 0}, {"11", 11}, {"7", 7},
               {"12", -1}, {"H", -1}, {"", -1}, {"C##", -1}, {"-1", -1}, {"3x", -1}};
  for (const auto& n : names) EXPECT_EQ(parse_pitch_class(n.text), n.pitch_class) << n.text;
}

TEST(Scala, ReadsPitchesInEveryForm) {
  const Scale s = parse_scl(
      "! a comment\n"
      "My scale\r\n"
      " 12\n"
      "!\n"
      "100.0 cents\n 9/8 ratio\n300.\n5/4\n4/3\n600.0\n3/2\n800.0\n5/3\n1000.0\n15/8\n2\n",
      "x.scl");
  EXPECT_EQ(s.description, "My scale");
  ASSERT_EQ(s.pitches.size(), 12u);
  EXPECT_DOUBLE_EQ(s.pitches[0], 100.0);
  EXPECT_NEAR(s.pitches[1], 203.910, 1e-3);
  EXPECT_NEAR(s.pitches[3], 386.314, 1e-3);
  EXPECT_DOUBLE_EQ(s.pitches[11], 1200.0);
  const Degrees d = scale_degrees(s, "x.scl");
  EXPECT_EQ(d[0], 0.0);
  EXPECT_DOUBLE_EQ(d[1], 100.0);
}

TEST(Scala, RefusesMalformedFilesNamingTheLine) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "Scala file s.scl, line 1: no description line\n"},
      {"desc\n", "Scala file s.scl, line 2: no note count\n"},
      {"desc\nmany\n", "Scala file s.scl, line 2: expected the number of notes\n"},
      {"desc\n2\n100.0\n", "Scala file s.scl, line 4: fewer pitches than the note count\n"},
      {"! c\ndesc\n2\n100.0\nabc\n", "Scala file s.scl, line 5: expected a pitch: cents with a point, a ratio n/d or an integer\n"},
      {"desc\n1\n-3/2\n", "Scala file s.scl, line 3: expected a pitch: cents with a point, a ratio n/d or an integer\n"},
      {"desc\n1\n3/0\n", "Scala file s.scl, line 3: expected a pitch: cents with a point, a ratio n/d or an integer\n"},
  };
  for (const auto& c : cases) {
    const Refusal r = refusal([&] { parse_scl(c.text, "s.scl"); });
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.status, 4);
  }
  for (const auto& [text, message] : std::vector<std::pair<const char*, const char*>>{
           {"d\n2\n100.0\n2/1\n", "Scala file s.scl has 2 notes: retune needs 12 notes to the octave\n"},
           {"d\n12\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1\n3/1\n",
            "Scala file s.scl repeats at 1901.96 cents: retune needs a period of 2/1 (1200 cents)\n"}}) {
    EXPECT_EQ(refusal([&] { scale_degrees(parse_scl(text, "s.scl"), "s.scl"); }).message, message);
  }
}

TEST(Scala, KeyboardMappingSetsRootAndReference) {
  const KeyboardMapping linear = parse_kbm("! c\n0\n0\n127\n62\n69\n415.0\n12\n", "k.kbm");
  EXPECT_EQ(linear.middle_note, 62);
  const Tuning equal_on_d = offsets_for_mapping(degrees_of("equal"), linear);
  const double a415 = 1200 * std::log2(415.0 / 440.0);  // -101.27 cents
  for (double c : equal_on_d) EXPECT_NEAR(c, a415, 1e-9);
  // Meantone on D with A at 440: A, a meantone fifth (696.58 cents) above D,
  // is unbent, so D sits 3.42 cents above equal temperament.
  const Tuning m = offsets_for_mapping(degrees_of("meantone"), parse_kbm("12\n0\n127\n62\n69\n440\n12\n0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n", "k"));
  EXPECT_NEAR(m[9], 0.0, 1e-9);
  EXPECT_NEAR(m[2], 3.4216, 1e-4);
  EXPECT_NEAR(m[6], 3.4216 - 13.6863, 1e-4);  // F#, a pure major third above D

  const struct {
    const char* text;
    const char* message;
  } refused[] = {
      {"7\n0\n127\n60\n69\n440\n12\n", "Scala file k.kbm, line 1: only linear mappings (size 0, or 12 keys in order) are supported\n"},
      {"12\n0\n127\n60\n69\n440\n12\n0\n2\n", "Scala file k.kbm, line 9: only linear mappings (entries 0 to 11 in key order) are supported\n"},
      {"12\n0\n127\n60\n69\n440\n7\n", "Scala file k.kbm, line 7: only linear mappings (formal octave at degree 12) are supported\n"},
      {"0\n0\n127\n60\n69\n", "Scala file k.kbm, line 6: the keyboard mapping ends early\n"},
      {"0\n0\n127\n60\n69\n-1\n12\n", "Scala file k.kbm, line 6: the reference frequency must be above 0\n"},
      {"0\n0\n127\nsixty\n69\n440\n12\n", "Scala file k.kbm, line 4: expected the middle note\n"},
  };
  for (const auto& c : refused) {
    const Refusal r = refusal([&] { parse_kbm(c.text, "k.kbm"); });
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.status, 4);
  }
}

const std::string kExamples = EXAMPLES_DIR;

std::string print_offsets(std::vector<std::string> args) {
  args.insert(args.begin(), "--print-offsets");
  const Result r = run_program(RETUNE_BIN, args);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST(TuningOptions, ExampleScalesGiveTheirTunings) {
  EXPECT_EQ(print_offsets({"--scl", kExamples + "/just-major.scl"}), print_offsets({"--tuning", "just"}));
  // Just on D with A, a pure fifth above D, at 440 Hz: D is 1.96 cents low,
  // F# a pure third (386.31 cents) above D, C a 9/5 (1017.60) above it.
  std::istringstream on_d(print_offsets({"--scl", kExamples + "/just-major.scl", "--kbm", kExamples + "/on-d.kbm"}));
  const std::pair<int, double> just_on_d[] = {{2, -1.955}, {9, 0.0}, {6, -1.955 - 13.686}, {0, -1.955 + 17.596}};
  Tuning read{};
  for (double& c : read) on_d >> c;
  for (auto [pitch_class, cents] : just_on_d) EXPECT_NEAR(read[pitch_class], cents, 1e-3) << pitch_class;
  std::istringstream meantone(print_offsets({"--scl", kExamples + "/meantone.scl"}));
  const Tuning builtin = offsets_on_root(find_tuning("meantone")->degrees(), 0);
  for (int i = 0; i < 12; ++i) {
    double c;
    meantone >> c;
    EXPECT_NEAR(c, builtin[i], 1e-4) << i;
  }
  std::istringstream werck(print_offsets({"--scl", kExamples + "/werckmeister3.scl", "--root", "Eb"}));
  const Tuning w = offsets_on_root(find_tuning("werckmeister3")->degrees(), 3);
  for (int i = 0; i < 12; ++i) {
    double c;
    werck >> c;
    EXPECT_NEAR(c, w[i], 1e-3) << i;
  }
}

TEST(TuningOptions, PrintedOffsetsGiveTheSameBytes) {
  TempDir dir;
  write_file(dir / "in.mid", read_file(kExamples + "/two-voices.mid"));
  for (const char* name : {"meantone", "young", "just", "kirnberger3"}) {
    const Result named = run_program(RETUNE_BIN, {"--tuning", name, "--root", "G", "in.mid"}, RunOptions().at(dir.path().string()));
    ASSERT_EQ(named.status, 0) << named.err;
    std::vector<std::string> args;
    std::istringstream words(print_offsets({"--tuning", name, "--root", "G"}));
    for (std::string w; words >> w;) args.push_back(w);
    ASSERT_EQ(args.size(), 12u);
    args.push_back("in.mid");
    const Result positional = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
    EXPECT_TRUE(positional.out == named.out) << name;
    EXPECT_NE(named.out, read_file(dir / "in.mid"));
  }
}

TEST(TuningOptions, RefusalsNameTheProblem) {
  TempDir dir;
  write_file(dir / "in.mid", read_file(kExamples + "/melody.mid"));
  write_file(dir / "wide.scl", "wide\n12\n301.0\n200.0\n300.0\n400.0\n500.0\n600.0\n700.0\n800.0\n900.0\n1000.0\n1100.0\n2/1\n");
  const std::vector<std::string> zeros(12, "0");
  auto with_zeros = [&](std::vector<std::string> a) {
    a.insert(a.end(), zeros.begin(), zeros.end());
    return a;
  };
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--tuning", "bogus", "in.mid", "out.mid"}, "Unknown tuning \"bogus\"; see retune --list-tunings\n"},
      {{"--tuning", "just", "--scl", "wide.scl"}, "Give either --tuning or --scl, not both\n"},
      {with_zeros({"--tuning", "just"}), "Give either a tuning option or twelve offsets, not both\n"},
      {{"--scl", "missing.scl", "in.mid", "out.mid"}, "Can't read scale file missing.scl: No such file or directory\n"},
      {{"--scl", "wide.scl", "in.mid", "out.mid"}, "Scala file wide.scl gives C# an offset of 201.00 cents: expected cents from -200 to 200\n"},
      {{"--kbm", "x.kbm", "--tuning", "just"}, "Option --kbm goes with --scl\n"},
      {{"--root", "H", "--tuning", "just"}, "Invalid root \"H\": expected a pitch class C, C#, Db, ..., B or 0-11\n"},
      {with_zeros({"--root", "D"}), "Option --root goes with --tuning or --scl\n"},
      {{"--tuning"}, "Option --tuning needs a value; see retune --help\n"},
      {{"--frobnicate", "--tuning", "just"}, "Unknown option \"--frobnicate\"; see retune --help\n"},
      {{"--mts", "--bend-range", "2", "--tuning", "just"},
       "Give either --mts or --bend-range, not both: a tuning message uses no pitch bends\n"},
      {{"--bend-range", "25", "--tuning", "just"}, "Invalid value \"25\" for --bend-range: expected 1 to 24\n"},
      {{"--skip-channel", "0", "--tuning", "just"}, "Invalid value \"0\" for --skip-channel: expected 1 to 16\n"},
      {{"--mts", "--scl", "wide.scl", "in.mid", "out.mid"},
       "Scala file wide.scl gives C# an offset of 201.00 cents: expected cents from -100 to 100\n"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, c.args, RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "wide.scl"}));
  }
}

TEST(TuningOptions, DoubleDashEndsOptions) {
  TempDir dir;
  const std::string melody = read_file(kExamples + "/melody.mid");
  write_file(dir / "--odd.mid", melody);
  const Result r = run_program(RETUNE_BIN, {"--tuning", "meantone", "--", "--odd.mid"}, RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, retune_bytes(melody, offsets_on_root(find_tuning("meantone")->degrees(), 0)));
  // Offsets such as -10 are never options.
  std::vector<std::string> args(12, "-10");
  args.push_back("--");
  args.push_back("--odd.mid");
  EXPECT_EQ(run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string())).status, 0);
}

TEST(TuningOptions, HelpAndList) {
  const Result help = run_program(RETUNE_BIN, {"--help"});
  EXPECT_EQ(help.out.rfind(driver::usage_text(RETUNE_BIN), 0), 0u);
  for (const char* option : {"--tuning", "--scl", "--kbm", "--root", "--list-tunings", "--print-offsets", "--mts",
                             "--bend-range", "--skip-channel", "--skip-drums"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  const Result list = run_program(RETUNE_BIN, {"--list-tunings"});
  EXPECT_EQ(list.status, 0);
  for (const NamedTuning& t : builtin_tunings()) EXPECT_NE(list.out.find(t.name), std::string::npos);
  EXPECT_NE(list.out.find("0.00 -23.95 -6.84 10.26"), std::string::npos);
}

}  // namespace
