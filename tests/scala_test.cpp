// Scala scales and keyboard mappings: reading them, refusing what they
// cannot be, and the arithmetic of a mapping.
#include <gtest/gtest.h>

#include "tuning/scala.h"
#include "tuning/tunings.h"
#include "refusal.h"
#include "run_binary.h"

using namespace retune;
using namespace smf_test;

namespace {

const std::string kExamples = EXAMPLES_DIR;

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

}  // namespace
