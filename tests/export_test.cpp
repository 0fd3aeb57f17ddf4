// --export read back: the Scala pair by a reader of the test's own, the
// AnaMark file and the bulk dump byte by byte, every key against the tuning
// that the same options give a retuning.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <sstream>

#include "driver/cli.h"
#include "run_binary.h"
#include "smf_builder.h"

using namespace smf_test;

namespace {

const std::string kExamples = EXAMPLES_DIR;
using Frequencies = std::array<std::optional<double>, 128>;

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The keys' frequencies that the options `args` give a retuning, in hertz;
// none for an unmapped key.
Frequencies tuning_of(const std::vector<std::string>& args, std::string* name = nullptr) {
  std::vector<std::string> all = with({"retune"}, args);
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  const retune::driver::Options options = retune::driver::parse_command_line(static_cast<int>(argv.size()), argv.data());
  const retune::ResolvedTuning tuning = retune::resolve_tuning(options.tuning, 12700);
  if (name) *name = tuning.table.name;
  Frequencies hz;
  for (int key = 0; key < 128; ++key)
    if (tuning.table.mapped[key]) hz[key] = 440 * std::exp2((key - 69) / 12.0 + tuning.table.offset[key] / 1200);
  return hz;
}

double cents_between(double a, double b) { return 1200 * std::log2(a / b); }

// Lines of a Scala file that are not comments, each cut to its first word
// but the first (a scale's description; a mapping's first line is a bare number).
std::vector<std::string> scala_fields(const std::string& text) {
  std::vector<std::string> fields;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '!') continue;
    std::string word;
    std::istringstream(line) >> word;
    fields.push_back(fields.empty() ? line : word);
  }
  return fields;
}

// Cents of a Scala pitch: with a period, cents; else a ratio n/d, or n.
double scala_cents(const std::string& word) {
  if (word.find('.') != std::string::npos) return std::stod(word);
  const size_t slash = word.find('/');
  const double ratio = std::stod(word.substr(0, slash)) / (slash == std::string::npos ? 1 : std::stod(word.substr(slash + 1)));
  return 1200 * std::log2(ratio);
}

long floor_div(long a, long b) { return static_cast<long>(std::floor(static_cast<double>(a) / static_cast<double>(b))); }

// The frequencies that a scale on a keyboard mapping gives the keys, as the
// Scala formats define them: key k plays the degree the mapping gives it
// (linear when the map size is 0), at the reference frequency times the
// ratio of its degree over the reference key's.
Frequencies scala_frequencies(const std::string& scl, const std::string& kbm) {
  const std::vector<std::string> s = scala_fields(scl);
  const long n = std::stol(s.at(1));
  std::vector<double> cents = {0};
  for (long i = 0; i < n; ++i) cents.push_back(scala_cents(s.at(2 + static_cast<size_t>(i))));
  auto degree_cents = [&](long d) {
    const long periods = floor_div(d, n);
    return static_cast<double>(periods) * cents[static_cast<size_t>(n)] + cents[static_cast<size_t>(d - periods * n)];
  };
  const std::vector<std::string> m = scala_fields(kbm);
  const long size = std::stol(m.at(0)), first = std::stol(m.at(1)), last = std::stol(m.at(2));
  const long middle = std::stol(m.at(3)), reference = std::stol(m.at(4)), octave = std::stol(m.at(6));
  const double frequency = std::stod(m.at(5));
  auto degree_of = [&](long key) -> std::optional<long> {
    if (size == 0) return key - middle;
    const long repeat = floor_div(key - middle, size);
    const size_t entry = static_cast<size_t>(key - middle - repeat * size);
    if (7 + entry >= m.size() || m[7 + entry] == "x") return std::nullopt;
    return std::stol(m[7 + entry]) + repeat * octave;
  };
  Frequencies hz;
  for (long key = first; key <= last; ++key)
    if (const std::optional<long> degree = degree_of(key))
      hz[static_cast<size_t>(key)] =
          frequency * std::exp2((degree_cents(*degree) - degree_cents(*degree_of(reference))) / 1200);
  return hz;
}

// Empty when every key has the same frequency within 0.01 cent, or is
// unmapped in both.
std::string compare(const Frequencies& got, const Frequencies& want) {
  for (int key = 0; key < 128; ++key) {
    if (got[key].has_value() != want[key].has_value()) return "key " + std::to_string(key) + " mapped in one only";
    if (got[key] && !(std::fabs(cents_between(*got[key], *want[key])) < 0.01))
      return "key " + std::to_string(key) + ": " + std::to_string(cents_between(*got[key], *want[key])) + " cents off";
  }
  return "";
}

// The tuning as the formats that give every key a pitch hold it: a key left
// alone at its equal-tempered one.
Frequencies every_key(Frequencies hz) {
  for (int key = 0; key < 128; ++key)
    if (!hz[key]) hz[key] = 440 * std::exp2((key - 69) / 12.0);
  return hz;
}

Result exported(const std::vector<std::string>& args, const std::string& format) {
  return run_program(RETUNE_BIN, with(args, {"--export", format}));
}

std::vector<std::string> twelve_offsets() {
  return {"0", "-24", "-6.8", "10.3", "-13.7", "3.4", "-20.5", "-3.4", "-27.4", "-10.3", "6.8", "-17.1"};
}

TEST(Export, ScalaPairGivesEveryKeyItsPitch) {
  TempDir dir;
  // Keys 21-108 only, a pattern of five keys that leaves two unmapped, its
  // reference key not A4.
  const std::string sparse = (dir / "sparse.kbm").string();
  write_file(sparse, "! sparse.kbm\n5\n21\n108\n62\n64\n330.5\n7\n0\nx\n2\n4\nx\n");
  const struct {
    std::vector<std::string> args;
    int notes;     // the scale's own
    int map_size;  // 0: linear
  } cases[] = {
      {{"--tuning", "meantone"}, 12, 0},
      {{"--tuning", "edo:19"}, 19, 0},
      {{"--scl", kExamples + "/just-diatonic.scl", "--kbm", kExamples + "/white-keys.kbm"}, 7, 12},
      {{"--scl", kExamples + "/meantone.scl", "--kbm", sparse}, 12, 5},
      {{"--tuning", "werckmeister3", "--root", "D", "--a4", "415"}, 12, 0},
      {{"--scl", kExamples + "/19-edo.scl", "--root", "E"}, 19, 0},
      {twelve_offsets(), 12, 0},
  };
  for (const auto& c : cases) {
    const std::string name = c.args[0] + " " + c.args[1];
    const Result scl = exported(c.args, "scl"), kbm = exported(c.args, "kbm");
    ASSERT_EQ(scl.status, 0) << name << scl.err;
    ASSERT_EQ(kbm.status, 0) << name << kbm.err;
    EXPECT_EQ(scl.err + kbm.err, "");
    EXPECT_EQ(compare(scala_frequencies(scl.out, kbm.out), tuning_of(c.args)), "") << name;
    EXPECT_EQ(std::stoi(scala_fields(scl.out).at(1)), c.notes) << name;
    EXPECT_EQ(std::stoi(scala_fields(kbm.out).at(0)), c.map_size) << name;
  }
}

// Cents above 8.1757989156437 Hz for every key, and their whole cents in
// the [Tuning] section before; an unmapped key at its equal-tempered pitch.
TEST(Export, AnaMarkTuningGivesEveryKeyItsPitch) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--tuning", "edo:19"},
        {"--scl", kExamples + "/just-diatonic.scl", "--kbm", kExamples + "/white-keys.kbm"}}) {
    const Result tun = exported(args, "tun");
    ASSERT_EQ(tun.status, 0) << tun.err;
    Frequencies exact, whole;
    double base = 0;
    std::string section;
    std::istringstream lines(tun.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("[")) section = line;
      if (line.starts_with("BaseFreq=")) base = std::stod(line.substr(9));
      int key = -1;
      double cents = 0;
      if (std::sscanf(line.c_str(), "note %d=%lf", &key, &cents) != 2 || key < 0 || key > 127) continue;
      (section == "[Exact Tuning]" ? exact : whole)[key] = cents;
    }
    EXPECT_EQ(base, 8.1757989156437);
    Frequencies hz;
    for (int key = 0; key < 128; ++key) {
      ASSERT_TRUE(exact[key] && whole[key]) << key;
      hz[key] = base * std::exp2(*exact[key] / 1200);
      EXPECT_EQ(*whole[key], std::round(*exact[key])) << key;
    }
    EXPECT_EQ(compare(hz, every_key(tuning_of(args))), "") << args[1];
  }
}

struct Dump {
  std::string name;
  std::array<double, 128> cents{};  // above key 0
  std::string problem;
};

Dump broken(std::string problem) {
  Dump dump;
  dump.problem = std::move(problem);
  return dump;
}

// A bulk dump taken apart, its framing and checksum checked.
Dump parse_dump(const std::string& bytes) {
  Dump dump;
  if (bytes.size() != 408) return broken("size " + std::to_string(bytes.size()));
  if (bytes.substr(0, 6) != hex("F0 7E 7F 08 01 00") || bytes[407] != '\xF7') return broken("framing");
  uint8_t sum = 0;
  for (size_t i = 1; i < 406; ++i) sum ^= static_cast<uint8_t>(bytes[i]);
  if ((sum & 0x7F) != static_cast<uint8_t>(bytes[406])) return broken("checksum");
  dump.name = bytes.substr(6, 16);
  for (int key = 0; key < 128; ++key) {
    const auto byte = [&](int i) { return static_cast<uint8_t>(bytes[22 + 3 * key + i]); };
    if ((byte(0) | byte(1) | byte(2)) & 0x80) return broken("a byte above 7F");
    dump.cents[key] = 100 * (byte(0) + (byte(1) << 7 | byte(2)) / 16384.0);
  }
  return dump;
}

TEST(Export, BulkDumpGivesEveryKeyItsPitchAndItsName) {
  TempDir dir;
  const std::string unicode = (dir / "\xCE\xA9-\xC3\xBC.scl").string();  // Ω-ü
  write_file(unicode, "Omega\n1\n100.0\n");
  const struct {
    std::vector<std::string> args;
    const char* name;
  } cases[] = {
      {{"--tuning", "meantone"}, "meantone        "},
      {{"--tuning", "neidhardt", "--a4", "441"}, "neidhardt-villag"},
      {{"--scl", kExamples + "/just-diatonic.scl", "--kbm", kExamples + "/white-keys.kbm"}, "just-diatonic   "},
      {{"--scl", unicode}, "?\?-?\?           "},
      {twelve_offsets(), "offsets         "},
  };
  for (const auto& c : cases) {
    const Result syx = exported(c.args, "syx");
    ASSERT_EQ(syx.status, 0) << syx.err;
    EXPECT_EQ(syx.err, "");
    const Dump dump = parse_dump(syx.out);
    ASSERT_EQ(dump.problem, "") << c.args[1];
    EXPECT_EQ(dump.name, c.name);
    Frequencies hz;
    for (int key = 0; key < 128; ++key) hz[key] = 440 * std::exp2((dump.cents[key] - 6900) / 1200);
    EXPECT_EQ(compare(hz, every_key(tuning_of(c.args))), "") << c.args[1];
  }
}

// A scale of one 300-cent step from middle C: keys 0-39 lie below key 0's
// pitch, 83-127 above 127.99 semitones, key 127 by 26100 - 12799.99 cents.
TEST(Export, PitchesBeyondTheDumpAreClampedAndCounted) {
  TempDir dir;
  write_file(dir / "wide.scl", "Minor thirds\n1\n300.0\n");
  const Result syx = exported({"--scl", (dir / "wide.scl").string()}, "syx");
  EXPECT_EQ(syx.status, 0);
  EXPECT_EQ(syx.err,
            "retune: 85 keys lie beyond the pitches a bulk tuning dump holds (MIDI's 0 to 127.99 semitones), by up to "
            "13300.0 cents: written at the nearest it holds\n");
  ASSERT_EQ(syx.out.size(), 408u);
  EXPECT_EQ(to_hex(syx.out.substr(22, 3 * 41)), to_hex(std::string(3 * 40, '\0') + hex("00 00 00")));
  EXPECT_EQ(to_hex(syx.out.substr(22 + 3 * 82, 6)), "7E 00 00 7F 7F 7E");
  EXPECT_EQ(to_hex(syx.out.substr(22 + 3 * 127, 3)), "7F 7F 7E");
  // The text formats hold any pitch.
  const Result tun = exported({"--scl", (dir / "wide.scl").string()}, "tun");
  EXPECT_EQ(tun.err, "");
  EXPECT_NE(tun.out.find("\nnote 0=-12000.000000\n"), std::string::npos);
}

TEST(Export, CommandLine) {
  TempDir dir;
  const std::string out = (dir / "meantone.scl").string();
  const std::string usage = retune::driver::usage_text(RETUNE_BIN);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--tuning", "meantone", "--export", "scala"}, 4,
       "Invalid value \"scala\" for --export: expected scl, kbm, tun or syx\n"},
      {{"--tuning", "meantone", "--export=SCL"}, 4, "Invalid value \"SCL\" for --export: expected scl, kbm, tun or syx\n"},
      {{"--tuning", "meantone", "--export", "scl", "a.scl", "b.scl"}, 4, "Option --export takes one file, the outfile\n"},
      {{"--tuning", "meantone", "--export", "tun", "--poly"}, 4, "Option --export writes the tuning alone: not with --poly\n"},
      {{"--mts=bulk", "--tuning", "meantone", "--export", "syx"}, 4,
       "Option --export writes the tuning alone: not with --mts\n"},
      {{"--export", "kbm", "--print-offsets", "--tuning", "just"}, 4,
       "Option --export writes the tuning alone: not with --print-offsets\n"},
      {{"--export", "scl", "0", "0", "0"}, 4, usage},
      {{"--export", "scl", "12701", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}, 4,
       "Invalid tuning offset \"12701\" for C: expected cents from -12700 to 12700\n"},
      {{"--scl", (dir / "missing.scl").string(), "--export", "scl", out}, 4,
       "Can't read scale file " + (dir / "missing.scl").string() + ": No such file or directory\n"},
      {{"--tuning", "meantone", "--export", "scl", out}, 0, ""},
      {{"--tuning", "edo:31", "--export", "scl", out, "--verbose"}, 0, ""},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
    EXPECT_EQ(r.out, "") << c.args[1];
  }
  // The last run replaced the file that the one before wrote, and nothing else is left.
  EXPECT_EQ(read_file(out), exported({"--tuning", "edo:31"}, "scl").out);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"meantone.scl"});
}

// Like a MIDI file, a bulk dump goes to a terminal only when asked for by
// name; the text formats go there as to any output.
TEST(Export, NoDumpOntoATerminal) {
  if (!have_terminals()) GTEST_SKIP() << "script (util-linux) is not installed";
  const Result syx = on_terminal(RETUNE_BIN, {"--tuning", "meantone", "--export", "syx"});
  EXPECT_EQ(syx.status, 4);
  EXPECT_EQ(syx.out,
            "retune: not writing a MIDI tuning dump to a terminal; name an outfile or redirect standard output\n");
  const Result scl = on_terminal(RETUNE_BIN, {"--tuning", "meantone", "--export", "scl"});
  EXPECT_EQ(scl.status, 0);
  EXPECT_EQ(scl.out, exported({"--tuning", "meantone"}, "scl").out);
}

}  // namespace
