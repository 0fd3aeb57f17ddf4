// The look inside a file: literal reports for small files, the JSON read
// back by another parser, failures per file, and the plain method's hint.
#include <gtest/gtest.h>

#include "driver/report.h"
#include "retune/analyze.h"
#include "retune/poly.h"
#include "run_binary.h"
#include "smf_builder.h"

using namespace smf_test;
using retune::Method;

namespace {

const retune::Tuning kMeantone = {0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4, -10.3, 6.8, -17.1};

std::string one_track(std::string_view events) { return smf({hex(events)}, 0); }

// C, E and G at once on channel 1.
const std::string kChords = one_track("00 90 3C 40 00 40 40 00 43 40 60 80 3C 40 00 40 40 00 43 40 00 FF 2F 00");

Method with(uint16_t skipped, int declared_range = 0) {
  Method method;
  method.skipped_channels = skipped;
  if (declared_range) {
    method.bend_range = declared_range;
    method.declare_bend_range = true;
  }
  return method;
}

TEST(Analyze, LiteralReports) {
  const struct {
    const char* what;
    std::string file;
    Method method;
    const char* report;
  } cases[] = {
      {"one channel of chords", kChords, {},
       "f: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)\n"
       "  channel 1: 3 notes, at most 3 at once, at most 3 bends at once\n"
       "  all channels: at most 3 bends at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  intonation: 33.3% of 3 consonant pairs within 2 cents of just (RMS 12.05, largest 15.64 cents); drift "
       "+0.00 cents; farthest from equal temperament 0.00 cents\n"
       "  recommended: --poly (the plain bends would play out of tune: chords on channel 1); or --mts=keys on a "
       "synth with single-note tuning (FluidSynth, TiMidity++)\n"},
      // Octaves need one bend; the pedal holds the first note into the second.
      {"octaves under the pedal",
       one_track("00 B0 40 7F 00 90 3C 40 60 80 3C 40 00 90 48 40 60 B0 40 00 00 80 48 40 00 FF 2F 00"), {},
       "f: format 0, 1 track, 96 ticks per quarter note, length 192 ticks (1.000 s)\n"
       "  channel 1: 2 notes, at most 2 at once, at most 1 bend at once\n"
       "  all channels: at most 1 bend at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  recommended: the plain bends: no channel needs two bends at once, has bends of its own or sets another "
       "bend range\n"},
      // At a quarter of a second per quarter note.
      {"a bend ramp",
       one_track("00 FF 51 03 03 D0 90 00 C1 19 00 91 3C 40 30 E1 00 48 30 00 50 30 00 40 00 81 3C 40 00 FF 2F 00"), {},
       "f: format 0, 1 track, 96 ticks per quarter note, length 144 ticks (0.375 s)\n"
       "  channel 2: 1 note, at most 1 at once, at most 1 bend at once, 3 pitch bends (8192 to 10240), program 25\n"
       "  all channels: at most 1 bend at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  intonation: no consonant pairs; drift +0.00 cents; farthest from equal temperament 0.00 cents; 3 bend "
       "changes on sounding notes\n"
       "  recommended: --poly (the plain bends would play out of tune: the file's own pitch bends on channel 2); or "
       "--mts=keys on a synth with single-note tuning (FluidSynth, TiMidity++)\n"},
      {"an RPN setting",
       one_track("00 B0 65 00 00 64 00 00 06 0C 00 26 00 00 90 3C 40 60 80 3C 40 00 FF 2F 00"), {},
       "f: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)\n"
       "  channel 1: 1 note, at most 1 at once, at most 1 bend at once, bend range 12 semitones at tick 0\n"
       "  all channels: at most 1 bend at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  recommended: --poly (the plain bends would play out of tune: its own bend range on channel 1); or --mts=keys "
       "on a synth with single-note tuning (FluidSynth, TiMidity++)\n"},
      {"an RPN setting that --bend-range meets",
       one_track("00 B0 65 00 00 64 00 00 06 0C 00 26 00 00 90 3C 40 60 80 3C 40 00 FF 2F 00"), with(0, 12),
       "f: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)\n"
       "  channel 1: 1 note, at most 1 at once, at most 1 bend at once, bend range 12 semitones at tick 0\n"
       "  all channels: at most 1 bend at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  recommended: the plain bends: no channel needs two bends at once, has bends of its own or sets another "
       "bend range\n"},
      // The resets end the note before them, the second in two packets; drums on channel 10.
      {"resets",
       smf({hex("00 F0 05 7E 7F 09 01 F7 00 90 3C 40 60 F0 04 43 10 4C 00 00 F7 04 00 7E 00 F7 00 90 40 40 60 80 40 "
                "40 00 3C 40 00 FF 2F 00"),
            hex("00 99 24 40 00 26 40 60 89 24 40 00 26 40 00 FF 2F 00")}),
       {},
       "f: format 1, 2 tracks, 96 ticks per quarter note, length 192 ticks (1.000 s)\n"
       "  channel 1: 2 notes, at most 1 at once, at most 1 bend at once\n"
       "  channel 10: 2 notes, at most 2 at once, at most 2 bends at once\n"
       "  all channels: at most 1 bend at once; --poly has 15 channels\n"
       "  resets: GM at tick 0, XG at tick 96\n"
       "  recommended: the plain bends, with --skip-drums to leave the drums on channel 10 unbent: no channel needs "
       "two bends at once, has bends of its own or sets another bend range\n"},
      // The event grammar takes any byte for data; a synthesizer takes no
      // such message: it is no note and no bend.
      {"data bytes with the high bit set", one_track("00 90 B7 C0 60 E0 FF FF 00 80 B7 40 00 FF 2F 00"), {},
       "f: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)\n"
       "  no notes\n"
       "  all channels: at most 0 bends at once; --poly has 15 channels\n"
       "  resets: none\n"
       "  recommended: the plain bends: no channel needs two bends at once, has bends of its own or sets another "
       "bend range\n"},
      {"chords on a channel left alone", kChords, with(1),
       "f: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)\n"
       "  channel 1 (left alone): 3 notes, at most 3 at once, at most 3 bends at once\n"
       "  all channels: at most 0 bends at once; --poly has 14 channels\n"
       "  resets: none\n"
       "  recommended: the plain bends: no channel needs two bends at once, has bends of its own or sets another "
       "bend range\n"},
  };
  const retune::KeyTable keys = retune::KeyTable::from_pitch_classes(kMeantone);
  for (const auto& c : cases)
    EXPECT_EQ(retune::driver::analysis_text(retune::analyze(c.file, keys, c.method), "f"), c.report) << c.what;
}

TEST(Analyze, MoreBendsAtOnceThanPolyHasChannels) {
  // Twelve pitch classes at once on two channels: 24 bends.
  std::string events;
  for (int channel = 0; channel < 2; ++channel)
    for (int key = 60; key < 72; ++key) events += "00 9" + std::to_string(channel) + " " + to_hex(std::string(1, static_cast<char>(key))) + " 40 ";
  const std::string file = one_track(events + "00 FF 2F 00");
  const retune::Analysis analysis =
      retune::analyze(file, retune::KeyTable::from_pitch_classes(kMeantone), {});
  EXPECT_EQ(analysis.most_pairs, 24);
  // The single-note tuning messages, which FluidSynth and TiMidity++ both follow.
  EXPECT_NE(retune::driver::analysis_json(analysis, "f").find("\"method\":\"mts=keys\""), std::string::npos);
  // Without a tuning, every pitch class counts as a bend of its own.
  EXPECT_EQ(retune::analyze(file, retune::every_class_its_own(), {}).channels[1].most_bends, 12);
}

TEST(Analyze, KeysBeyondTheBendsCountByTheBendsTheyGet) {
  // C# and D at +300 and +400 cents are played on E and F#, unbent like C:
  // one bend. Within a range of 12 semitones they stay and are bent: three.
  retune::KeyTable keys = retune::KeyTable::from_pitch_classes({});
  keys.offset[61] = 300;
  keys.offset[62] = 400;
  const std::string chord = one_track("00 90 3C 40 00 3D 40 00 3E 40 60 80 3C 40 00 3D 40 00 3E 40 00 FF 2F 00");
  EXPECT_EQ(retune::analyze(chord, keys, {}).channels[0].most_bends, 1);
  EXPECT_EQ(retune::analyze(chord, keys, with(0, 12)).channels[0].most_bends, 3);
}

// C# at +300 cents sounds on E, unbent, in the file's range of 2 semitones;
// the range grows to 12 while it sounds. Struck again, it is placed anew
// and bent: with C, two bends.
TEST(Analyze, AKeyStruckAfterANewBendRangeIsPlacedAnew) {
  retune::KeyTable keys = retune::KeyTable::from_pitch_classes({});
  keys.offset[61] = 300;
  const std::string file = one_track(
      "00 90 3D 40 00 B0 65 00 00 B0 64 00 00 B0 06 0C 60 80 3D 40 "
      "00 90 3C 40 00 90 3D 40 60 80 3C 40 00 80 3D 40 00 FF 2F 00");
  EXPECT_EQ(retune::analyze(file, keys, {}).channels[0].most_bends, 2);
}

TEST(Analyze, AllNotesOffEndsTheNotesAsThePedalAllows) {
  // C and E, then all notes off (7B) or all sound off (78), then G and B.
  const struct {
    const char* events;
    int most_sounding;
  } cases[] = {
      {"00 90 3C 40 00 40 40 10 B0 7B 00 00 90 43 40 00 47 40", 2},
      {"00 B0 40 7F 00 90 3C 40 00 40 40 10 B0 7B 00 00 90 43 40 00 47 40", 4},
      {"00 B0 40 7F 00 90 3C 40 00 40 40 10 B0 78 00 00 90 43 40 00 47 40", 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(retune::analyze(one_track(c.events), retune::every_class_its_own(), {}).channels[0].most_sounding,
              c.most_sounding)
        << c.events;
}

// Well-formed UTF-8 stays as it is; every other byte is a Latin-1 character.
TEST(Analyze, JsonNamesAreValidUtf8) {
  const struct {
    std::string name;
    std::string json;
  } cases[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5\""},  // U+E9, U+20AC, U+1F3B5
      {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},                                     // U+10FFFF
      {"\xF8\x80\x80", "\"\\u00f8\\u0080\\u0080\""},                                     // no such lead byte
      {"\xE0\x80\x80", "\"\\u00e0\\u0080\\u0080\""},                                     // overlong
      {"\xC0\xAF", "\"\\u00c0\\u00af\""},                                                 // overlong
      {"\xF0\x80\x80\x80", "\"\\u00f0\\u0080\\u0080\\u0080\""},                           // overlong
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},                                     // surrogate
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},                           // beyond U+10FFFF
      {"\xE2\x82", "\"\\u00e2\\u0082\""},                                                 // cut short
  };
  for (const auto& c : cases)
    EXPECT_EQ(retune::driver::failure_json(c.name, "m\n", 1), "{\"file\":" + c.json + ",\"error\":\"m\",\"status\":1}\n")
        << to_hex(c.name);
}

TEST(Analyze, JsonReadsBackOneObjectPerFile) {
  TempDir dir;
  const std::string weird = "we\"ird\\\n\xff.mid";  // quote, backslash, line end, no UTF-8
  write_file(dir / "chords.mid", kChords);
  write_file(dir / "broken.mid", "MThx");
  write_file(dir / weird, kChords);
  const std::string out = (dir / "out.json").string();
  const Result r = run_program(RETUNE_BIN,
                               {"--analyze", "--json", "--tuning", "meantone", (dir / "chords.mid").string(),
                                (dir / "broken.mid").string(), (dir / weird).string()},
                               RunOptions().to(out).at(dir.path().string()));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, (dir / "broken.mid").string() + ": MIDI track header incorrect\n");
  const Result read = run_program(
      "python3", {"-c",
                  "import json, os, sys\n"
                  "for line in open(sys.argv[1], encoding='utf-8'):\n"
                  "  o = json.loads(line)\n"
                  "  name = os.path.basename(o['file'])\n"
                  "  if 'error' in o: print(name, o['error'], o['status'])\n"
                  "  else: print(repr(name), o['length']['seconds'], o['channels'][0]['most_bends'],\n"
                  "              o['recommendation']['method'], o['recommendation']['chords'])\n",
                  out});
  if (read.status == 127) GTEST_SKIP() << "python3 is not installed";
  EXPECT_EQ(read.err, "");
  EXPECT_EQ(read.out,
            "'chords.mid' 0.5 3 poly [1]\n"
            "broken.mid MIDI track header incorrect 2\n"
            "'we\"ird\\\\\\nÿ.mid' 0.5 3 poly [1]\n");
}

TEST(Analyze, EveryFileReportedFailuresNamedStatusOfTheFirst) {
  TempDir dir;
  write_file(dir / "a.mid", kChords);
  write_file(dir / "short.mid", kChords.substr(0, 30));
  const Result r = run_program(RETUNE_BIN, {"--analyze", "missing.mid", "short.mid", "a.mid"},
                               RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "missing.mid: Can't open file missing.mid for reading\n"
            "short.mid: File format error: EOF encountered\n");
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "a.mid: format 0, 1 track, 96 ticks per quarter note, length 96 ticks (0.500 s)");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"a.mid", "short.mid"}));
}

TEST(Analyze, CommandLine) {
  TempDir dir;
  write_file(dir / "a.mid", kChords);
  const RunOptions at = RunOptions().at(dir.path().string());
  // Twelve numbers are a tuning: with equal temperament the chord needs one bend.
  const std::vector<std::string> equal(12, "0");
  std::vector<std::string> args = {"--analyze"};
  args.insert(args.end(), equal.begin(), equal.end());
  args.push_back("a.mid");
  EXPECT_NE(run_program(RETUNE_BIN, args, at).out.find("at most 3 at once, at most 1 bend at once"), std::string::npos);
  // Standard input without a file, named "-".
  const Result piped = run_program(RETUNE_BIN, {"--analyze", "--json"}, RunOptions(at).from((dir / "a.mid").string()));
  EXPECT_EQ(piped.out.substr(0, 24), "{\"file\":\"-\",\"format\":0,\"");
  const Result json_alone = run_program(RETUNE_BIN, {"--json", "--tuning", "meantone", "a.mid"}, at);
  EXPECT_EQ(json_alone.status, 4);
  EXPECT_EQ(json_alone.err, "Option --json goes with --analyze\n");
}


TEST(PlainMethodHint, OnATerminalOnly) {
  if (!have_terminals()) GTEST_SKIP() << "script (util-linux) is not installed";
  TempDir dir;
  const std::string chords = (dir / "chords.mid").string();
  const std::string bends = (dir / "bends.mid").string();
  const std::string melody = (dir / "melody.mid").string();
  write_file(chords, kChords);
  write_file(bends, one_track("00 90 3C 40 30 E0 00 48 30 80 3C 40 00 FF 2F 00"));
  write_file(melody, one_track("00 90 3C 40 60 80 3C 40 00 90 3E 40 60 3E 00 00 FF 2F 00"));
  // Files retune made: the plain bends (eight notes or more) and --mts.
  std::string eight_notes;
  for (int i = 0; i < 8; ++i) eight_notes += "00 90 3C 40 60 80 3C 40 ";
  const std::string bent = (dir / "bent.mid").string();
  const std::string tuned = (dir / "tuned.mid").string();
  const std::string bent_short = (dir / "bent-short.mid").string();
  write_file(bent, retune::retune_bytes(one_track(eight_notes + "00 FF 2F 00"), kMeantone));
  write_file(tuned, retune::retune_bytes(read_file(melody), kMeantone, {.mts = true}));
  write_file(bent_short, retune::retune_bytes(read_file(melody), kMeantone));
  const std::string drums = (dir / "drums.mid").string();
  const std::string drums_chords = (dir / "drums-chords.mid").string();
  write_file(drums, one_track("00 90 3C 40 00 99 24 40 60 80 3C 40 00 89 24 40 00 FF 2F 00"));
  write_file(drums_chords, one_track("00 99 24 40 00 90 3C 40 00 40 40 60 80 3C 40 00 40 40 00 89 24 40 00 FF 2F 00"));
  const std::string retuned =
      "): a second retuning adds its tuning to the first; --poly --in-bends ignore drops the file's bends first\n";
  const std::string out = (dir / "out.mid").string();
  const std::string tail =
      " play out of tune with these bends: --poly plays them in tune on any General MIDI synth, --mts=keys on a "
      "synth with single-note tuning (FluidSynth, TiMidity++)\n";
  const struct {
    std::vector<std::string> args;
    std::string hint;
  } cases[] = {
      {{"--tuning", "meantone", chords, out}, "retune: chords (2 notes)" + tail},
      {{"--tuning", "meantone", bends, out}, "retune: the file's own pitch bends (1)" + tail},
      {{"--tuning", "meantone", melody, out}, ""},
      {{"--tuning", "meantone", "--mts", chords, out}, ""},
      {{"--tuning", "meantone", "--skip-channel", "1", chords, out}, ""},
      {{"--tuning", "meantone", bent, out}, "retune: this file looks retuned already (a pitch bend follows every note-on" + retuned},
      {{"--tuning", "meantone", tuned, out}, "retune: this file looks retuned already (it starts with a tuning message" + retuned},
      {{"--tuning", "meantone", bent_short, out}, "retune: the file's own pitch bends (3)" + tail},
      {{"--tuning", "meantone", drums, out}, "retune: the drums on channel 10 were bent with the tuning: --skip-drums leaves them alone\n"},
      {{"--tuning", "meantone", "--skip-drums", drums, out}, ""},
      {{"--tuning", "meantone", drums_chords, out},
       "retune: chords (1 note)" + tail.substr(0, tail.size() - 1) + ", with --skip-drums to leave the drums on channel 10 unbent\n"},
  };
  for (const auto& c : cases) {
    const Result seen = on_terminal(RETUNE_BIN, c.args);
    EXPECT_EQ(seen.status, 0) << c.args[2];
    EXPECT_EQ(seen.out, c.hint) << c.args[2];
    // Not on a terminal: exactly what scripts saw before.
    const Result r = run_program(RETUNE_BIN, c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << c.args[2];
  }
}

}  // namespace

// --analyze, the plain method's hint and --poly count the bends a channel
// needs at once by one model of what sounds.
TEST(ChannelModel, AnalysisHintAndPolyAgreeOnWhatSoundsAtOnce) {
  const struct {
    const char* what;
    std::string file;
    bool chords;
  } cases[] = {
      {"an octave needs one bend", one_track("00 90 3C 40 00 90 48 40 60 80 3C 40 00 80 48 40 00 FF 2F 00"), false},
      {"two tracks sounding together on one channel",
       smf({hex("00 90 3C 40 60 80 3C 40 00 FF 2F 00"), hex("00 90 40 40 60 80 40 40 00 FF 2F 00")}), true},
      {"a note the pedal holds under a new one",
       one_track("00 B0 40 7F 00 90 3C 40 30 80 3C 40 00 90 40 40 30 B0 40 00 00 80 40 40 00 FF 2F 00"), true},
      {"reset-all-controllers lifts the pedal",
       one_track("00 B0 40 7F 00 90 3C 40 30 80 3C 40 00 B0 79 00 00 90 40 40 30 80 40 40 00 FF 2F 00"), false},
  };
  const retune::KeyTable keys = retune::KeyTable::from_pitch_classes(kMeantone);
  for (const auto& c : cases) {
    const retune::Analysis analysis = retune::analyze(c.file, keys, {});
    EXPECT_EQ(analysis.chords == 1, c.chords) << c.what;
    EXPECT_EQ(retune::driver::plain_method_hint(analysis).empty(), !c.chords) << c.what;
    Method poly;
    poly.poly = true;
    retune::PolyReport report;
    retune::retune_poly(c.file, keys, poly, &report);
    EXPECT_EQ(analysis.channels[0].most_bends, c.chords ? 2 : 1) << c.what;
    EXPECT_EQ(report.sources[0].most_bends, analysis.channels[0].most_bends) << c.what;
  }
}
