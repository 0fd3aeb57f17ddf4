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

const std::string kExamples = EXAMPLES_DIR;

Degrees degrees_of(const char* name) {
  const NamedTuning* tuning = find_tuning(name);
  EXPECT_NE(tuning, nullptr) << name;
  return tuning ? tuning->degrees() : Degrees{};
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

TEST(Scala, ReadsPitchesInEveryForm) {
  const Scale s = parse_scl(
      "! a comment\n"
      "My scale\r\n"
      " 13 notes\n"
      "!\n"
      "100.0 cents\n 9/8 ratio\n300.\n5/4\n4/3\n 100.0 C#\n 5/4   E\\\n-5.0\n10/20\n.5\n"
      "4294967296/2147483648\n81/64\n2\n",
      "x.scl");
  EXPECT_EQ(s.description, "My scale");
  const double cents[] = {100, 203.910, 300, 386.314, 498.045, 100, 386.314, -5, -1200, 0.5, 1200, 407.820, 1200};
  ASSERT_EQ(s.pitches.size(), std::size(cents));
  for (size_t i = 0; i < std::size(cents); ++i) EXPECT_NEAR(s.pitches[i], cents[i], 1e-3) << i;
  EXPECT_EQ(s.period(), 1200.0);
}

// Every way a line may end reads the same, and line numbers count them so.
TEST(Scala, LineEndsAndByteOrderMark) {
  const std::string lines[] = {"! c", "desc", "2", "150.0", "3/2"};
  const Scale plain = parse_scl("! c\ndesc\n2\n150.0\n3/2\n", "s.scl");
  for (const char* end : {"\n", "\r\n", "\r", "\r\r\n"}) {
    for (const char* bom : {"", "\xEF\xBB\xBF"}) {
      std::string text = bom;
      for (const std::string& line : lines) text += line + end;
      const Scale s = parse_scl(text, "s.scl");
      EXPECT_EQ(s.description, "desc");
      EXPECT_EQ(s.pitches, plain.pitches);
      EXPECT_EQ(refusal([&] { parse_scl(text + "x" + end, "s.scl"); }).message, "(no failure)");
      EXPECT_EQ(refusal([&] { parse_scl(std::string(bom) + "d" + end + "2" + end + "1.0" + end + "ab" + end, "s.scl"); }).message,
                "Scala file s.scl, line 4: \"ab\" is no pitch: expected cents with a period, a ratio n/d or an integer\n");
    }
  }
  // Lone CRs each end a line, so an empty line stays one.
  EXPECT_EQ(refusal([&] { parse_scl("d\r\r2\r1.0\r", "s.scl"); }).message,
            "Scala file s.scl, line 2: an empty line is no note count: expected a whole number\n");
}

TEST(Scala, RefusesWhatIsNoScalaSyntax) {
  const std::string pitch = "\" is no pitch: expected cents with a period, a ratio n/d or an integer\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "line 1: no description line\n"},
      {"desc\n", "line 2: no note count\n"},
      {"desc\nmany\n", "line 2: \"many\" is no note count: expected a whole number\n"},
      {"d\n12.5\n", "line 2: \"12.5\" is no note count: expected a whole number\n"},
      {"d\n12abc\n", "line 2: \"12abc\" is no note count: expected a whole number\n"},
      {"d\n12/1\n", "line 2: \"12/1\" is no note count: expected a whole number\n"},
      {"d\n0x0C\n", "line 2: \"0x0C\" is no note count: expected a whole number\n"},
      {"d\n0\n", "line 2: a note count of 0: retune takes 1 to 4096 notes, the last being the period\n"},
      {"d\n4097\n", "line 2: a note count of 4097: retune takes 1 to 4096 notes, the last being the period\n"},
      {"d\n99999999999999999999999\n",
       "line 2: a note count of 99999999999999999999999: retune takes 1 to 4096 notes, the last being the period\n"},
      {"desc\n2\n100.0\n", "line 4: fewer pitches than the note count\n"},
      {"d\n1\n0x2\n", "line 3: \"0x2" + pitch},
      {"d\n1\n2e0\n", "line 3: \"2e0" + pitch},
      {"d\n1\n0x10/0x8\n", "line 3: \"0x10/0x8" + pitch},
      {"d\n1\n0x1.2cp10\n", "line 3: \"0x1.2cp10" + pitch},
      {"d\n1\n1e3.\n", "line 3: \"1e3." + pitch},
      {"d\n1\n1..5\n", "line 3: \"1..5" + pitch},
      {"d\n1\n-3/2\n", "line 3: \"-3/2" + pitch},
      {"d\n1\n+3/2\n", "line 3: \"+3/2" + pitch},
      {"d\n1\n3/2/1\n", "line 3: \"3/2/1" + pitch},
      {"d\n1\n3/\n", "line 3: \"3/" + pitch},
      {"! c\nd\n2\n100.0\nabc\n", "line 5: \"abc" + pitch},
      {"d\n2\n100.0\n\n", "line 4: an empty line is no pitch: expected cents with a period, a ratio n/d or an integer\n"},
      {"d\n1\n3/0\n", "line 3: \"3/0\" is no pitch: a ratio's numbers must be above 0\n"},
      {"d\n1\n0\n", "line 3: \"0\" is no pitch: a ratio's numbers must be above 0\n"},
      {"d\n1\n99999999999999999999/2\n", "line 3: \"99999999999999999999/2\" is no pitch: its numbers are too large\n"},
      {"d\n1\n" + std::string(400, '9') + ".0\n",
       "line 3: \"" + std::string(40, '9') + "...\" is no pitch: its numbers are too large\n"},
      {"d\n1\n-5.0\n", "line 3: the period (the last pitch) \"-5.0\" must be above 1/1\n"},
      {"d\n2\n100.0\n1/2\n", "line 4: the period (the last pitch) \"1/2\" must be above 1/1\n"},
      {"d\n1\n0.0\n", "line 3: the period (the last pitch) \"0.0\" must be above 1/1\n"},
  };
  for (const auto& c : cases) {
    const Refusal r = refusal([&] { parse_scl(c.text, "s.scl"); });
    EXPECT_EQ(r.message, "Scala file s.scl, " + c.message) << c.text;
    EXPECT_EQ(r.status, 4);
  }
}

// A keyboard mapping with line `line` (1-7, or 8 for the first entry)
// replaced by `text`.
std::string kbm_with(int line, const std::string& text, const std::string& entries = "") {
  std::vector<std::string> fields = {"12", "0", "127", "60", "69", "440.0", "12"};
  std::string kbm;
  for (int i = 1; i <= 7; ++i) kbm += (i == line ? text : fields[static_cast<size_t>(i - 1)]) + "\n";
  return kbm + (line == 8 ? text + "\n" : "") + entries;
}

TEST(Scala, RefusesEveryBadKeyboardMappingField) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "line 1: expected the map size, found the end of the file"},
      {"! only a comment\n", "line 2: expected the map size, found the end of the file"},
      {"0\n0\n127\n60\n69\n", "line 6: expected the reference frequency, found the end of the file"},
      {"0\n0\n127\n60\n69\n440.0\n", "line 7: expected the formal octave degree, found the end of the file"},
      {kbm_with(1, "0x0C"), "line 1: \"0x0C\" is no map size: expected a whole number"},
      {kbm_with(1, "-1"), "line 1: \"-1\" is no map size: expected a whole number"},
      {kbm_with(1, "1e10"), "line 1: \"1e10\" is no map size: expected a whole number"},
      {kbm_with(1, "inf"), "line 1: \"inf\" is no map size: expected a whole number"},
      {kbm_with(1, "129"), "line 1: map size 129 is out of range: expected 0 to 128"},
      {kbm_with(1, "10000000000"), "line 1: map size 10000000000 is out of range: expected 0 to 128"},
      {kbm_with(2, "1.5"), "line 2: \"1.5\" is no first note: expected a whole number"},
      {kbm_with(2, "128"), "line 2: first note 128 is out of range: expected 0 to 127"},
      {kbm_with(3, "200"), "line 3: last note 200 is out of range: expected 0 to 127"},
      {"0\n100\n20\n60\n69\n440.0\n12\n", "line 3: last note 20 is below the first note, 100"},
      {kbm_with(4, "sixty"), "line 4: \"sixty\" is no middle note: expected a whole number"},
      {kbm_with(4, "1e10"), "line 4: \"1e10\" is no middle note: expected a whole number"},
      {kbm_with(4, "128"), "line 4: middle note 128 is out of range: expected 0 to 127"},
      {kbm_with(5, "0x3C"), "line 5: \"0x3C\" is no reference note: expected a whole number"},
      {kbm_with(5, "-5"), "line 5: \"-5\" is no reference note: expected a whole number"},
      {kbm_with(5, "99999999999999999999"),
       "line 5: reference note 99999999999999999999 is out of range: expected 0 to 127"},
      {kbm_with(6, "0x1b8"), "line 6: \"0x1b8\" is no reference frequency: expected a decimal number such as 440.0"},
      {kbm_with(6, "inf"), "line 6: \"inf\" is no reference frequency: expected a decimal number such as 440.0"},
      {kbm_with(6, "4.4e2"), "line 6: \"4.4e2\" is no reference frequency: expected a decimal number such as 440.0"},
      {kbm_with(6, "-1"), "line 6: reference frequency -1 is out of range: expected a frequency above 0"},
      {kbm_with(6, "0.0"), "line 6: reference frequency 0.0 is out of range: expected a frequency above 0"},
      {kbm_with(6, std::string(400, '9')), "line 6: reference frequency " + std::string(400, '9') +
                                               " is out of range: expected a frequency above 0"},
      {kbm_with(7, "12.0"), "line 7: \"12.0\" is no formal octave degree: expected a whole number"},
      {kbm_with(7, "4097"), "line 7: formal octave degree 4097 is out of range: expected 0 to 4096"},
      {kbm_with(8, "0.5"), "line 8: \"0.5\" is no mapping entry: expected a scale degree or x"},
      {kbm_with(8, "1x"), "line 8: \"1x\" is no mapping entry: expected a scale degree or x"},
      {kbm_with(8, "-1"), "line 8: \"-1\" is no mapping entry: expected a scale degree or x"},
      {kbm_with(8, "4097"), "line 8: mapping entry 4097 is out of range: expected 0 to 4096 or x"},
  };
  for (const auto& c : cases) {
    const Refusal r = refusal([&] { parse_kbm(c.text, "k.kbm"); });
    EXPECT_EQ(r.message, "Keyboard mapping k.kbm, " + c.message + "\n") << c.text;
    EXPECT_EQ(r.status, 4);
  }
  // A reference key with no degree cannot be tuned.
  const Scale scale = parse_scl("d\n1\n2/1\n", "s.scl");
  EXPECT_EQ(refusal([&] { map_keys(scale, parse_kbm(kbm_with(8, "0", "x\nx\nx\nx\nx\nx\nx\nx\nx\n"), "k.kbm"), "k.kbm"); })
                .message,
            "Keyboard mapping k.kbm leaves its reference note 69 unmapped: it has no degree to tune\n");
  EXPECT_EQ(refusal([&] { map_keys(scale, parse_kbm(kbm_with(8, "0"), "k.kbm"), "k.kbm"); }).message,
            "Keyboard mapping k.kbm leaves its reference note 69 unmapped: it has no degree to tune\n");
}

KeyTable mapped(const std::string& scl, const std::string& kbm) {
  return map_keys(parse_scl(scl, "s.scl"), parse_kbm(kbm, "k.kbm"), "k.kbm").table;
}

// Offsets worked out by hand, in cents from equal temperament at A4 = 440 Hz.
TEST(Scala, MappingArithmetic) {
  // 19 equal steps of 63.158 cents, linear from key 60 at middle C: key 61
  // is one step up (63.158 - 100), key 69 nine (568.421 - 900), key 79 the
  // octave (1200 - 1900), key 50 ten steps down (-631.579 + 1000).
  const KeyTable edo19 = builtin_table("edo:19", 0);
  const std::pair<int, double> edo19_keys[] = {{60, 0}, {61, -36.8421053}, {69, -331.5789474}, {79, -700}, {50, 368.4210526}};
  for (auto [key, cents] : edo19_keys) EXPECT_NEAR(edo19.offset[key], cents, 1e-6) << key;
  const KeyTable edo19_file = map_keys(read_scl(kExamples + "/19-edo.scl"), KeyboardMapping::linear(60), "").table;
  for (auto [key, cents] : edo19_keys) EXPECT_NEAR(edo19_file.offset[key], cents, 1e-5) << key;

  // Just major on the white keys, octave at degree 7, A (5/3, 884.359) at
  // 440 Hz: every key moves up 15.641; D (9/8) is then 3.910 + 15.641 above
  // equal temperament, E (5/4) -13.686 + 15.641, G (3/2) 1.955 + 15.641.
  const KeyTable white =
      mapped(read_file(kExamples + "/just-diatonic.scl"), read_file(kExamples + "/white-keys.kbm"));
  const std::pair<int, double> white_keys[] = {{60, 15.641287}, {62, 19.551289}, {64, 1.955001}, {67, 17.596288},
                                               {69, 0},         {71, 3.910002},  {72, 15.641287}, {48, 15.641287}};
  for (auto [key, cents] : white_keys) EXPECT_NEAR(white.offset[key], cents, 1e-6) << key;
  for (int key : {61, 63, 66, 68, 70, 73, 1}) EXPECT_FALSE(white.mapped[key]) << key;

  // Bohlen-Pierce, 13 steps to the tritave 3/1 (1901.955 cents), linear from
  // key 60: key 61 one step (146.304 - 100), key 73 the tritave (- 1300).
  std::string bp = "Bohlen-Pierce\n13\n";
  for (int i = 1; i < 13; ++i) bp += std::to_string(1901.9550008653873 * i / 13) + "\n";
  const KeyTable tritave = map_keys(parse_scl(bp + "3/1\n", "bp.scl"), KeyboardMapping::linear(60), "").table;
  EXPECT_NEAR(tritave.offset[61], 46.304231, 1e-5);
  EXPECT_NEAR(tritave.offset[73], 601.955001, 1e-6);
  EXPECT_NEAR(tritave.offset[47], -601.955001, 1e-6);
  // One note of 88 cents: each key 12 cents lower than the one below it.
  const KeyTable alpha = map_keys(parse_scl("d\n1\n88.0\n", "a.scl"), KeyboardMapping::linear(60), "").table;
  EXPECT_NEAR(alpha.offset[72], -144, 1e-9);
  EXPECT_NEAR(alpha.offset[50], 120, 1e-9);

  // Quarter-comma meantone with A at 415 Hz (-101.271) on keys 60-72 only:
  // C, a meantone major sixth (889.735) below A, is at -101.271 + 10.265.
  const std::string meantone = read_file(kExamples + "/meantone.scl");
  const KeyTable baroque = mapped(meantone, "0\n60\n72\n60\n69\n415.0\n12\n");
  EXPECT_NEAR(baroque.offset[69], -101.270625, 1e-6);
  EXPECT_NEAR(baroque.offset[60], -91.005915, 1e-6);
  EXPECT_NEAR(baroque.offset[72], -91.005915, 1e-6);
  EXPECT_FALSE(baroque.mapped[59]);
  EXPECT_FALSE(baroque.mapped[73]);

  // Today's twelve-note meaning, to the last bit: degree 0 unbent on the
  // root, every octave alike.
  const Scale twelve = parse_scl(meantone, "m.scl");
  const KeyTable on_d = map_keys(twelve, KeyboardMapping::linear(62), "").table;
  Degrees degrees{};
  for (int i = 1; i < 12; ++i) degrees[i] = twelve.pitches[i - 1];
  EXPECT_EQ(on_d.pitch_classes(), offsets_on_root(degrees, 2));
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
      {with_zeros({"--tuning", "just"}), "Give either a tuning option or twelve offsets, not both\n"},
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
