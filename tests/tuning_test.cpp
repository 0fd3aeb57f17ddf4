// Built-in tunings against published values, offsets as the command line
// gives them, and the options that choose a tuning.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "driver/cli.h"
#include "retune/retune.h"
#include "tuning/scala.h"
#include "refusal.h"
#include "run_binary.h"

using namespace retune;
using namespace smf_test;

namespace {

const std::string kExamples = EXAMPLES_DIR;

Degrees degrees_of(const char* name) {
  const NamedTuning* tuning = find_tuning(name);
  EXPECT_NE(tuning, nullptr) << name;
  return tuning ? tuning->degrees() : Degrees{};
}

TEST(Cents, ReadsTheDecimalGrammarOnly) {
  const struct {
    const char* text;
    double value;
  } numbers[] = {{"10", 10},   {" \t-7.5", -7.5}, {"+3", 3},       {"10cents", 10}, {"1e", 1},      {"1e2", 100},
                 {"1.5e-1x", 0.15}, {".5", 0.5},    {"5.", 5},       {"0x10", 0},     {"1e-400", 0},  {"-0", 0},
                 {"2E+1", 20}, {"1e+", 1}};
  for (const auto& n : numbers) {
    const auto v = parse_cents(n.text);
    ASSERT_TRUE(v.has_value()) << n.text;
    EXPECT_EQ(*v, n.value) << n.text;
  }
  for (const char* text : {"", "abc", "-", ".", "inf", "nan", "-.e5", "e5", " ", "+-1", "INF"})
    EXPECT_FALSE(parse_cents(text).has_value()) << text;
  EXPECT_TRUE(std::isinf(*parse_cents("1e999")));
}

// Cents above C for C, C#, D, ... B, as published to 0.1 cent or better:
// J. Murray Barbour, "Tuning and Temperament: A Historical Survey" (1951),
// tables for Pythagorean, the meantones of 1/3 (Salinas), 2/7 (Zarlino),
// 1/4, 1/5 and 1/6 comma, Werckmeister III, Kirnberger II and III and
// Vallotti; Herbert Anton Kellner, "Wie stimme ich selbst mein Cembalo?"
// (1976) for his temperament: C-G-D-A-E and B-F# a fifth of the Pythagorean
// comma narrow; Thomas Young, "Outlines of Experiments and Inquiries
// Respecting Sound and Light" (Phil. Trans., 1800) for his second
// temperament; the 5-limit just scale from its ratios 1/1 16/15 9/8 6/5 5/4
// 4/3 45/32 3/2 8/5 5/3 9/5 15/8, and the 7-limit one of
// microtonal-synthesis.com ("Just Intonation"), the same with 7/5 and 7/4.
// Rameau, "Nouveau systeme de musique theorique" (1726), ch. 24, gives seven
// quarter-comma fifths from C and asks the rest to grow wider; the numbers
// are of the reading with C#-G# pure and the last four fifths widened alike.
TEST(Tunings, MatchPublishedCents) {
  const struct {
    const char* name;
    double cents[12];
  } published[] = {
      {"equal", {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100}},
      {"pythagorean", {0, 113.7, 203.9, 294.1, 407.8, 498.0, 611.7, 702.0, 815.6, 905.9, 996.1, 1109.8}},
      {"meantone", {0, 76.0, 193.2, 310.3, 386.3, 503.4, 579.5, 696.6, 772.6, 889.7, 1006.8, 1082.9}},
      {"third-comma", {0, 63.5, 189.6, 315.6, 379.1, 505.2, 568.7, 694.8, 758.3, 884.4, 1010.4, 1073.9}},
      {"two-sevenths-comma", {0, 70.7, 191.6, 312.6, 383.2, 504.2, 574.9, 695.8, 766.5, 887.4, 1008.4, 1079.1}},
      {"fifth-comma", {0, 83.6, 195.3, 307.0, 390.6, 502.3, 585.9, 697.7, 781.2, 893.0, 1004.7, 1088.3}},
      {"sixth-comma", {0, 88.6, 196.7, 304.9, 393.5, 501.6, 590.2, 698.4, 787.0, 895.1, 1003.3, 1091.9}},
      {"rameau", {0, 76.0, 193.2, 283.5, 386.3, 494.5, 579.5, 696.6, 778.0, 889.7, 989.0, 1082.9}},
      {"werckmeister3", {0, 90.2, 192.2, 294.1, 390.2, 498.0, 588.3, 696.1, 792.2, 888.3, 996.1, 1092.2}},
      {"kirnberger2", {0, 90.2, 203.9, 294.1, 386.3, 498.0, 590.2, 702.0, 792.2, 895.1, 996.1, 1088.3}},
      {"kirnberger3", {0, 90.2, 193.2, 294.1, 386.3, 498.0, 590.2, 696.6, 792.2, 889.7, 996.1, 1088.3}},
      {"kellner", {0, 90.2, 194.5, 294.1, 389.1, 498.0, 588.3, 697.3, 792.2, 891.8, 996.1, 1091.0}},
      {"vallotti", {0, 94.1, 196.1, 298.0, 392.2, 502.0, 592.2, 698.0, 796.1, 894.1, 1000.0, 1090.2}},
      {"young", {0, 90.2, 196.1, 294.1, 392.2, 498.0, 588.3, 698.0, 792.2, 894.1, 996.1, 1090.2}},
      {"just", {0, 111.7, 203.9, 315.6, 386.3, 498.0, 590.2, 702.0, 813.7, 884.4, 1017.6, 1088.3}},
      {"just7", {0, 111.7, 203.9, 315.6, 386.3, 498.0, 582.5, 702.0, 813.7, 884.4, 968.8, 1088.3}},
  };
  for (const auto& p : published) {
    const Degrees d = degrees_of(p.name);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(d[i], p.cents[i], 0.051) << p.name << " degree " << i;
  }
  // Neidhardt, "Gaentzlich erschoepfte mathematische Abtheilungen" (1732),
  // "fuer ein Dorf", gives string lengths from C = 2000 (as tabled by W. T.
  // Meister, "Die Orgelstimmung in Italien und Sueddeutschland", 1991, p. 124);
  // rounded to six digits they put F# 0.17 cent off his twelfths of the comma.
  const double lengths[12] = {2000,    1894.15, 1783.80, 1685.59, 1596.38, 1500.00,
                              1420.48, 1334.83, 1264.19, 1193.23, 1123.72, 1064.25};
  const Degrees village = degrees_of("neidhardt-village");
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(village[i], 1200 * std::log2(2000 / lengths[i]), 0.2) << i;
  EXPECT_EQ(builtin_tunings().size(), std::size(published) + 1);
}

TEST(Tunings, NamesInAnyCaseWithAliasesAndSuggestions) {
  EXPECT_EQ(find_tuning("Quarter-Comma"), find_tuning("meantone"));
  EXPECT_EQ(find_tuning("WERCKMEISTER"), find_tuning("werckmeister3"));
  EXPECT_EQ(find_tuning("1/3-comma"), find_tuning("third-comma"));
  EXPECT_EQ(find_tuning("neidhardt"), find_tuning("neidhardt-village"));
  EXPECT_EQ(find_tuning("7-limit"), find_tuning("just7"));
  const struct {
    const char* name;
    const char* message;
  } unknown[] = {
      {"meantnoe", "Unknown tuning \"meantnoe\"; did you mean meantone? See retune --list-tunings\n"},
      {"kirnberger", "Unknown tuning \"kirnberger\"; did you mean kirnberger2 or kirnberger3? See retune --list-tunings\n"},
      {"Valotti", "Unknown tuning \"Valotti\"; did you mean vallotti? See retune --list-tunings\n"},
      {"bogus", "Unknown tuning \"bogus\"; see retune --list-tunings\n"},
      {"edo:4", "Unknown tuning \"edo:4\": equal divisions go from edo:5 to edo:72\n"},
      {"edo:73", "Unknown tuning \"edo:73\": equal divisions go from edo:5 to edo:72\n"},
      {"edo:x", "Unknown tuning \"edo:x\": equal divisions go from edo:5 to edo:72\n"},
  };
  for (const auto& u : unknown) {
    const Refusal r = refusal([&] { builtin_table(u.name, 0); });
    EXPECT_EQ(r.message, u.message);
    EXPECT_EQ(r.status, 4);
  }
  // Equal divisions by any of their names; edo:12 is equal temperament.
  for (const char* name : {"edo:19", "EDO:19", "edo19", "19-edo", "19edo", "19-tet"})
    EXPECT_EQ(builtin_table(name, 0).offset[61], 1200.0 / 19 - 100) << name;
  EXPECT_EQ(builtin_table("edo:12", 0).pitch_classes(), Tuning{});
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
  write_file(dir / "meantone.scl", read_file(kExamples + "/meantone.scl"));
  write_file(dir / "low.kbm", "0\n0\n127\n60\n69\n380.0\n12\n");
  write_file(dir / "narrow.kbm", "0\n60\n72\n60\n69\n440.0\n12\n");
  write_file(dir / "stretched.scl", "s\n12\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1200.0001\n");
  write_file(dir / "a440.kbm", "0\n0\n127\n60\n69\n440.0\n12\n");
  std::filesystem::create_directory(dir / "sub");
  const std::vector<std::string> files = dir.list();
  const std::vector<std::string> zeros(12, "0");
  auto with_zeros = [&](std::vector<std::string> a) {
    a.insert(a.end(), zeros.begin(), zeros.end());
    return a;
  };
  const std::string baroque = kExamples + "/baroque-415.kbm";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--tuning", "bogus", "in.mid", "out.mid"}, "Unknown tuning \"bogus\"; see retune --list-tunings\n"},
      {{"--tuning", "just", "--scl", "wide.scl"}, "Give either --tuning or --scl, not both\n"},
      {with_zeros({"--tuning", "just"}), "Many files need --output-dir DIR or --in-place; see retune --help\n"},
      {{"--scl", "missing.scl", "in.mid", "out.mid"}, "Can't read scale file missing.scl: No such file or directory\n"},
      {{"--scl", "/dev/zero", "in.mid", "out.mid"},
       "Can't read scale file /dev/zero: it is larger than 1 MiB, too large for a Scala file\n"},
      {{"--scl", "sub", "in.mid", "out.mid"}, "Can't read scale file sub: it is a directory\n"},
      {{"--scl", "meantone.scl", "--kbm", "sub"}, "Can't read keyboard mapping file sub: it is a directory\n"},
      {{"--scl", "low.kbm", "in.mid", "out.mid"},
       "Scala file low.kbm is a keyboard mapping: give it with --kbm, and a scale with --scl\n"},
      {{"--scl", "meantone.scl", "--kbm", "wide.scl"},
       "Keyboard mapping wide.scl is a Scala scale: give it with --scl, and a mapping with --kbm\n"},
      // The mapping's frequency is to blame, or the scale, whichever put a
      // key out of range.
      {{"--mts", "--scl", "meantone.scl", "--kbm", "low.kbm", "in.mid", "out.mid"},
       "Keyboard mapping low.kbm, with key 69 at 380.0 Hz, gives C an offset of -243.54 cents: expected cents from -100 to 100\n"},
      {{"--mts", "--scl", "wide.scl", "--kbm", "a440.kbm", "in.mid", "out.mid"},
       "Scala file wide.scl gives C# an offset of 201.00 cents: expected cents from -100 to 100\n"},
      {{"--mts", "--tuning", "meantone", "--a4", "380", "in.mid", "out.mid"},
       "Option --a4 380 gives C an offset of -243.54 cents: expected cents from -100 to 100\n"},
      {{"--mts", "--tuning", "meantone", "--a4", "415", "in.mid", "out.mid"},
       "Option --a4 415 gives C# an offset of -114.96 cents: expected cents from -100 to 100\n"},
      {{"--a4", "1000", "--tuning", "just"}, "Invalid value \"1000\" for --a4: expected a frequency from 220 to 880 Hz\n"},
      {{"--a4", "0x1b8", "--tuning", "just"}, "Invalid value \"0x1b8\" for --a4: expected a frequency from 220 to 880 Hz\n"},
      {{"--a4", "415", "--scl", "meantone.scl", "--kbm", baroque},
       "Give either --a4 or --kbm, not both: the mapping sets its own reference frequency\n"},
      {{"--mts", "--tuning", "edo:19", "in.mid", "out.mid"},
       "Tuning edo:19 tunes keys one by one, not by pitch class: --mts cannot send it; use --mts=keys\n"},
      {{"--mts", "--scl", "meantone.scl", "--kbm", "narrow.kbm", "in.mid", "out.mid"},
       "Scala file meantone.scl (12 notes, period 1200 cents) with keyboard mapping narrow.kbm tunes keys one by one, "
       "not by pitch class: --mts cannot send it; use --mts=keys\n"},
      {{"--mts", "--scl", "stretched.scl", "in.mid", "out.mid"},
       "Scala file stretched.scl (12 notes, period 1200.0001 cents) tunes keys one by one, not by pitch class: "
       "--mts cannot send it; use --mts=keys\n"},
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
    EXPECT_EQ(dir.list(), files);
  }
}

TEST(TuningOptions, ScalaFilesUpToOneMebibyte) {
  TempDir dir;
  std::string text = "d\n1\n2/1\n!";
  text.resize(kMaxScalaFileBytes, ' ');
  write_file(dir / "full.scl", text);
  EXPECT_EQ(read_scl((dir / "full.scl").string()).period(), 1200.0);
  write_file(dir / "over.scl", text + " ");
  EXPECT_EQ(refusal([&] { read_scl((dir / "over.scl").string()); }).message,
            "Can't read scale file " + (dir / "over.scl").string() +
                ": it is larger than 1 MiB, too large for a Scala file\n");
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(TuningOptions, ConcertPitchAndKeysPrinted) {
  // A4 at 415 Hz: the same as a keyboard mapping that says so.
  const std::string meantone = kExamples + "/meantone.scl";
  EXPECT_EQ(print_offsets({"--scl", meantone, "--a4", "415"}),
            print_offsets({"--scl", meantone, "--kbm", kExamples + "/baroque-415.kbm"}));
  std::istringstream baroque(print_offsets({"--tuning", "meantone", "--a4", "415"}));
  Tuning read{};
  for (double& c : read) baroque >> c;
  EXPECT_NEAR(read[9], -101.270625, 1e-6);
  EXPECT_NEAR(read[0], -101.270625 + 900 - 889.735285, 1e-6);  // C a meantone major sixth below A
  EXPECT_EQ(print_offsets({"--a4", "440", "0", "0", "0", "0", "0", "0", "0", "0", "0", "10", "0", "0"}),
            "-10 -10 -10 -10 -10 -10 -10 -10 -10 0 -10 -10\n");

  // Tunings per key: a line for each key, "x" for one left alone.
  const std::vector<std::string> edo19 = lines_of(print_offsets({"--tuning", "edo:19"}));
  ASSERT_EQ(edo19.size(), 128u);
  EXPECT_EQ(edo19[60], "60 0");
  EXPECT_EQ(edo19[79], "79 -700");
  EXPECT_EQ(lines_of(print_offsets({"--tuning", "edo:19", "--a4", "415"}))[69], "69 -101.27062474844692");
  TempDir dir;
  write_file(dir / "narrow.kbm", "0\n60\n72\n60\n69\n440.0\n12\n");
  const std::vector<std::string> narrow =
      lines_of(print_offsets({"--scl", meantone, "--kbm", (dir / "narrow.kbm").string()}));
  ASSERT_EQ(narrow.size(), 128u);
  EXPECT_EQ(narrow[59], "59 x");
  EXPECT_EQ(narrow[69], "69 0");
  EXPECT_EQ(narrow[73], "73 x");
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

TEST(TuningOptions, ListNamesEveryTuning) {
  const Result list = run_program(RETUNE_BIN, {"--list-tunings"});
  EXPECT_EQ(list.status, 0);
  for (const NamedTuning& t : builtin_tunings()) EXPECT_NE(list.out.find(t.name), std::string::npos);
  EXPECT_NE(list.out.find("0.00 -23.95 -6.84 10.26"), std::string::npos);
  EXPECT_NE(list.out.find("\nedo:N               per key: "), std::string::npos);
}

}  // namespace
