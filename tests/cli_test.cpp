// The command line, and the program end to end: exact messages, statuses,
// and the state of every file afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>

#include "driver/cli.h"
#include "smf_builder.h"
#include "run_binary.h"

using namespace smf_test;

namespace {

const std::vector<std::string> kZeros(12, "0");

std::vector<std::string> args(std::vector<std::string> offsets, std::vector<std::string> files = {}) {
  offsets.insert(offsets.end(), files.begin(), files.end());
  return offsets;
}

const std::string kMelody = smf({hex("00 90 3C 40 60 80 3C 40 00 90 3E 40 60 3E 00 00 FF 2F 00")}, 0);

TEST(EndToEnd, WrongArgumentCountPrintsUsageAndFails) {
  for (size_t count : {0, 11, 15, 20}) {
    TempDir cwd;
    const Result r = run_program(RETUNE_BIN, std::vector<std::string>(count, "0"), RunOptions().at(cwd.path().string()));
    EXPECT_EQ(r.status, 4) << count;
    EXPECT_EQ(r.err, retune::driver::usage_text(RETUNE_BIN)) << count;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(cwd.list().empty());
  }
}

TEST(EndToEnd, UsageTextIsExact) {
  EXPECT_EQ(retune::driver::usage_text("retune"),
            "usage: retune c1 c2 c3 c4 c5 c6 c7 c8 c9 c10 c11 c12 [infile [outfile]]\n"
            "c1,..,c12 are the fine tunings of pitches starting from C, in cents. \n"
            "Maximal +-200 cent. If no outfile specified writes on standard output.\n"
            "If no input file specified reads from standard input and writes on standard output.\n"
            "Will change tuning of input MIDI file infile. This file must contain only\n"
            "monophonic tracks (no chords)\n");
}

// Options stand anywhere before a lone "--"; one rule of precedence among
// the options that only print.
TEST(OptionGrammar, WhatEachCommandLineDoes) {
  const std::string help = retune::driver::help_text(RETUNE_BIN);
  const std::string version = "retune " RETUNE_VERSION_TEXT "\n";
  const std::string meantone = retune::format_offsets(retune::offsets_on_root(retune::find_tuning("meantone")->degrees(), 0)) + "\n";
  const std::string all_skipped = "--skip-channel=1 --skip-channel=2 --skip-channel=3 --skip-channel=4 "
                                  "--skip-channel=5 --skip-channel=6 --skip-channel=7 --skip-channel=8 --skip-channel=9 "
                                  "--skip-channel=10 --skip-channel=11 --skip-channel=12 --skip-channel=13 "
                                  "--skip-channel=14 --skip-channel=15 --skip-channel=16";
  const struct {
    std::string args;  // split at blanks
    std::string out;   // printed on success
    std::string err;   // the refusal, with status 4
  } cases[] = {
      {"-h", help, ""},
      {"--tuning meantone -h", help, ""},
      {"0 0 0 0 0 0 0 0 0 0 0 0 in.mid -h", help, ""},
      {"--print-offsets --list-tunings --version --help", help, ""},
      {"--print-offsets --list-tunings --version", version, ""},
      {"--print-offsets --list-tunings", retune::list_tunings(), ""},
      {"--tuning meantone --print-offsets", meantone, ""},
      {"--print-offsets --tuning meantone --root C --root 0 --tuning meantone", meantone, ""},
      {"--print-offsets -10 -.5 -0 0 0 0 0 0 0 0 0 0", "-10 -0.5 -0 0 0 0 0 0 0 0 0 0\n", ""},
      {"--tuning meantone --print-offsets in.mid", "", "Option --print-offsets takes no files\n"},
      {"-x --tuning meantone", "", "Unknown option \"-x\"; see retune --help\n"},
      {"0 0 0 0 0 0 0 0 0 0 0 0 in.mid -v", "", "Unknown option \"-v\"; see retune --help\n"},
      {"--tuning meantone -hv", "", "Unknown option \"-hv\"; see retune --help\n"},
      {"--help=me", "", "Option --help takes no value\n"},
      {"--tuning meantone --tuning just", "", "Option --tuning given twice with different values: \"meantone\" and \"just\"\n"},
      {"--scl a.scl --scl=b.scl", "", "Option --scl given twice with different values: \"a.scl\" and \"b.scl\"\n"},
      {"--kbm a.kbm --kbm b.kbm", "", "Option --kbm given twice with different values: \"a.kbm\" and \"b.kbm\"\n"},
      {"--root C# --root Db --root D", "", "Option --root given twice with different values: \"Db\" and \"D\"\n"},
      {"--bend-range 2 --bend-range 02 --bend-range 3", "", "Option --bend-range given twice with different values: \"02\" and \"3\"\n"},
      {"--tuning meantone --mts " + all_skipped, "", "Option --mts with every channel skipped leaves nothing to tune\n"},
      {"--tuning meantone a.mid b.mid c.mid", "", "Many files need --output-dir DIR or --in-place; see retune --help\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv;
    std::istringstream words(c.args);
    for (std::string w; words >> w;) argv.push_back(w);
    const Result r = run_program(RETUNE_BIN, argv);
    EXPECT_EQ(r.err, c.err) << c.args;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 4) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
  }
}

// Options after the files, and what --verbose reports.
TEST(OptionGrammar, OptionsAfterTheFilesAreOptions) {
  TempDir dir;
  write_file(dir / "in.mid", kMelody);
  const retune::Tuning meantone = retune::offsets_on_root(retune::find_tuning("meantone")->degrees(), 0);
  const struct {
    std::vector<std::string> args;
    std::string out;  // out.mid, or else standard output
    std::string err;
  } cases[] = {
      {{"--tuning", "meantone", "in.mid", "out.mid", "--skip-channel", "1"},
       retune::retune_bytes(kMelody, meantone, {.skipped_channels = 1}), ""},
      {args(kZeros, {"in.mid", "--verbose"}), retune::retune_bytes(kMelody, retune::Tuning{}), "retune: 3 pitch-bend events inserted\n"},
      {{"--tuning", "meantone", "in.mid", "--mts", "--verbose"}, retune::retune_bytes(kMelody, meantone, {.mts = true}),
       "retune: 0 pitch-bend events inserted, 1 tuning messages\n"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, c.args, RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(c.args[3] == "out.mid" ? read_file(dir / "out.mid") : r.out, c.out) << c.args[3];
  }
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
}

// The usage text first, then every form of the command line and every option.
TEST(OptionGrammar, HelpShowsEveryForm) {
  const std::string help = retune::driver::help_text("retune");
  EXPECT_EQ(help.substr(0, retune::driver::usage_text("retune").size()), retune::driver::usage_text("retune"));
  for (const char* text :
       {"  retune TUNING-OPTION... [infile [outfile]]\n",
        "  retune (TUNING-OPTION... | c1 ... c12) (-d DIR | --in-place) FILE...\n",
        "  retune --analyze [--json] [TUNING-OPTION... | c1 ... c12] [FILE...]\n",
        "  retune (TUNING-OPTION... | c1 ... c12) --export FORMAT [outfile]\n", "  --export FORMAT ", "  --mts=bulk ",
        "  --mpe ", "  --mts=keys ", "  --mts  ",
        "  --poly ", "  --in-bends MODE ", "  --skip-drums ", "  -j, --jobs N ", "  --json ", "  --print-offsets "})
    EXPECT_NE(help.find(text), std::string::npos) << text;
}

// MIDI bytes go to a terminal only when asked for by name.
TEST(EndToEnd, NoMidiOntoATerminal) {
  if (!have_terminals()) GTEST_SKIP() << "script (util-linux) is not installed";
  TempDir dir;
  const std::string in = (dir / "in.mid").string();
  write_file(in, kMelody);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string shown;
  } cases[] = {
      {{"--tuning", "meantone", in}, 4,
       "retune: not writing a MIDI file to a terminal; name an outfile or redirect standard output\n"},
      {{"--tuning", "meantone", in, "-"}, 4,
       "retune: not writing a MIDI file to a terminal; name an outfile or redirect standard output\n"},
      {{"--tuning", "meantone", in, (dir / "out.mid").string()}, 0, ""},
      {{"--tuning", "meantone", "--analyze", in}, 0, ""},
  };
  for (const auto& c : cases) {
    const Result r = on_terminal(RETUNE_BIN, c.args);
    EXPECT_EQ(r.status, c.status) << c.args.size();
    EXPECT_EQ(r.out.substr(0, c.shown.empty() ? 0 : std::string::npos), c.shown) << c.args.size();
  }
}

TEST(EndToEnd, RefusesBadOffsetsBeforeReadingInput) {
  const struct {
    int index;
    const char* text;
    const char* name;
  } cases[] = {{0, "", "C"}, {1, "abc", "C#"}, {3, "inf", "D#"}, {6, "nan", "F#"}, {8, "1e999", "G#"},
               {10, "200.001", "A#"}, {11, "-201", "B"}, {4, ".", "E"}};
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<std::string> offsets = kZeros;
    offsets[c.index] = c.text;
    if (c.index < 11) offsets[11] = "garbage";  // a later bad one is not named
    const Result r = run_program(RETUNE_BIN, args(offsets, {"/nonexistent/in.mid"}), RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.status, 1);  // the input is opened before offsets are read
    write_file(dir / "in.mid", kMelody);
    const Result bad = run_program(RETUNE_BIN, args(offsets, {"in.mid", "out.mid"}), RunOptions().at(dir.path().string()));
    EXPECT_EQ(bad.status, 4) << c.text;
    EXPECT_EQ(bad.err, std::string("Invalid tuning offset \"") + c.text + "\" for " + c.name +
                           ": expected cents from -200 to 200\n");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"in.mid"});
  }
}

TEST(EndToEnd, RetunesFileToFileAndStdinToStdout) {
  TempDir dir;
  write_file(dir / "in.mid", kMelody);
  std::vector<std::string> offsets = kZeros;
  offsets[0] = "200";   // clamped to the top value
  offsets[2] = "-10";
  const Result r = run_program(RETUNE_BIN, args(offsets, {"in.mid", "out.mid"}), RunOptions().at(dir.path().string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  const std::string expected = smf({hex("00 90 3C 40 00 E0 7F 7F 60 80 3C 40 00 90 3E 40 00 E0 67 3C "
                                        "60 90 3E 00 00 E0 67 3C 00 FF 2F 00")},
                                   0);
  EXPECT_EQ(to_hex(read_file(dir / "out.mid")), to_hex(expected));
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));

  const Result piped = run_program(RETUNE_BIN, offsets, RunOptions().from((dir / "in.mid").string()).at(dir.path().string()));
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, expected);
  const Result named_in = run_program(RETUNE_BIN, args(offsets, {"in.mid"}), RunOptions().at(dir.path().string()));
  EXPECT_EQ(named_in.out, expected);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
}

TEST(EndToEnd, CatalogueMessagesLeaveNothingBehind) {
  const struct {
    std::string input;
    const char* message;
    int status;
  } cases[] = {
      {"MThx", "MIDI track header incorrect\n", 2},
      {"MThd" + be32(8), "MIDI track header size incorrect\n", 2},
      {header(1, 1025), "Too many tracks in MIDI file, maximum is 1024\n", 3},
      {header(1, 1) + "\x89PNG", "MIDI track chunk header incorrect in track 0\n", 2},
      {smf({hex("FF FF FF FF")}), "Error in delta time encoding\n", 3},
      {smf({hex("00 3C 40")}), "No running MIDI command defined\n", 3},
      {kMelody.substr(0, kMelody.size() - 3), "File format error: EOF encountered\n", 255},
  };
  for (const auto& c : cases) {
    TempDir dir;
    write_file(dir / "in.mid", c.input);
    write_file(dir / "kept.mid", "precious");
    for (const char* out : {"new.mid", "kept.mid"}) {
      const Result r = run_program(RETUNE_BIN, args(kZeros, {"in.mid", out}), RunOptions().at(dir.path().string()));
      EXPECT_EQ(r.err, c.message);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "kept.mid"}));
      EXPECT_EQ(read_file(dir / "kept.mid"), "precious");
    }
    const Result piped = run_program(RETUNE_BIN, kZeros, RunOptions().from((dir / "in.mid").string()).at(dir.path().string()));
    EXPECT_EQ(piped.err, c.message);
    EXPECT_EQ(piped.status, c.status);
  }
}

TEST(EndToEnd, OpenFailures) {
  TempDir dir;
  write_file(dir / "in.mid", kMelody);
  fs::create_directory(dir / "sub");
  const struct {
    std::vector<std::string> files;
    std::string cwd;
    const char* message;
  } cases[] = {
      {{"missing.mid"}, "", "Can't open file missing.mid for reading\n"},
      {{"sub"}, "", "Can't open file sub for reading\n"},
      {{"in.mid", "sub"}, "", "Can't open file sub for writing\n"},
      {{"in.mid", "nodir/out.mid"}, "", "Can't open file nodir/out.mid for writing\n"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, args(kZeros, c.files), RunOptions().at(c.cwd.empty() ? dir.path().string() : c.cwd));
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "sub"}));
  }
}

TEST(EndToEnd, WriteFailuresAreNeverSuccess) {
  TempDir dir;
  write_file(dir / "in.mid", kMelody);
  Result r = run_program(RETUNE_BIN, args(kZeros, {"in.mid", "/dev/full"}), RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.err, "File write error\n");
  EXPECT_EQ(r.status, 255);
  r = run_program(RETUNE_BIN, args(kZeros, {"in.mid"}), RunOptions().to("/dev/full").at(dir.path().string()));
  EXPECT_EQ(r.err, "File write error\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"in.mid"});
}

TEST(EndToEnd, ReplacesOutfileKeepingLinksAndModes) {
  TempDir dir;
  write_file(dir / "in.mid", kMelody);
  const std::string expected = retune::retune_bytes(kMelody, retune::Tuning{});

  // in place
  write_file(dir / "song.mid", kMelody);
  chmod((dir / "song.mid").c_str(), 0640);
  Result r = run_program(RETUNE_BIN, args(kZeros, {"song.mid", "song.mid"}), RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "song.mid"), expected);
  struct stat st;
  stat((dir / "song.mid").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // through a symbolic link: the target is replaced, the link stays
  fs::create_directory(dir / "real");
  write_file(dir / "real" / "target.mid", "old");
  fs::create_symlink("real/target.mid", dir / "link.mid");
  r = run_program(RETUNE_BIN, args(kZeros, {"in.mid", "link.mid"}), RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir / "link.mid"));
  EXPECT_EQ(read_file(dir / "real" / "target.mid"), expected);
  EXPECT_EQ(fs::directory_iterator(dir / "real")->path().filename(), "target.mid");

  // a new file gets 0666 less the umask
  const mode_t mask = umask(0);
  umask(mask);
  r = run_program(RETUNE_BIN, args(kZeros, {"in.mid", "fresh.mid"}), RunOptions().at(dir.path().string()));
  stat((dir / "fresh.mid").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"fresh.mid", "in.mid", "link.mid", "real", "song.mid"}));
}

}  // namespace
