// The run's files end to end: descriptors and "-" as files, where the scratch
// file goes, and what a run leaves behind.
#include <gtest/gtest.h>

#include "midi_model.h"
#include "run_binary.h"

using namespace smf_test;

namespace {

const std::vector<std::string> kZeros(12, "0");
const std::string kInput = smf({hex("00 90 3C 40 60 80 3C 40 00 90 3E 40 60 3E 00 00 FF 2F 00")}, 0);
const std::string kRetuned = retune::retune_bytes(kInput, retune::Tuning{});

std::vector<std::string> zeros_and(std::vector<std::string> files) {
  std::vector<std::string> all = kZeros;
  all.insert(all.end(), files.begin(), files.end());
  return all;
}

TEST(Files, OutfileNamingAnOpenDescriptorIsWrittenThroughIt) {
  const struct {
    const char* shell;   // runs retune as "$0" "$@", which end in the infile
    const char* before;  // out.mid beforehand
    const char* message;
  } cases[] = {
      {"\"$0\" \"$@\" /dev/stdout | cat > out.mid", "", ""},
      {"\"$0\" \"$@\" /dev/stdout >> out.mid", "earlier", ""},
      {"\"$0\" \"$@\" /dev/stderr 2>&1 >/dev/null | cat > out.mid", "", ""},
      {"\"$0\" \"$@\" /dev/fd/3 3>&1 | cat > out.mid", "", ""},
      {"\"$0\" \"$@\" /proc/self/fd/3 3>>out.mid", "earlier", ""},
      {"\"$0\" \"$@\" /dev/fd/3 3<out.mid 2>err", "earlier", "Can't open file /dev/fd/3 for writing\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    write_file(dir / "in.mid", kInput);
    write_file(dir / "out.mid", c.before);
    std::vector<std::string> argv = {"-c", c.shell, RETUNE_BIN};
    for (const auto& a : zeros_and({"in.mid"})) argv.push_back(a);
    const Result r = run_program("sh", argv, RunOptions().at(dir.path().string()));
    if (*c.message) {
      EXPECT_EQ(read_file(dir / "err"), c.message);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(read_file(dir / "out.mid"), c.before);
      continue;
    }
    EXPECT_EQ(r.status, 0) << c.shell << ": " << r.err;
    EXPECT_EQ(read_file(dir / "out.mid"), c.before + kRetuned) << c.shell;
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"})) << c.shell;
  }
}

TEST(Files, DashIsStandardInputOrOutput) {
  TempDir dir;
  write_file(dir / "-", kInput);
  const struct {
    std::vector<std::string> files;
    std::string out;        // standard output
    const char* file;       // the file written, if any
  } cases[] = {
      {{"-", "-"}, kRetuned, nullptr},
      {{"-"}, kRetuned, nullptr},
      {{"./-"}, kRetuned, nullptr},
      {{"-", "out.mid"}, "", "out.mid"},
      {{"-", "./-"}, "", "-"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, zeros_and(c.files), RunOptions().from((dir / "-").string()).at(dir.path().string()));
    EXPECT_EQ(r.status, 0) << c.files[0] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.files[0];
    if (c.file) {
      EXPECT_EQ(read_file(dir / c.file), kRetuned) << c.file;
    }
  }
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"-", "out.mid"}));
}

TEST(Files, RefusedBeforeAnyWork) {
  TempDir dir;
  write_file(dir / "in.mid", "MThx");  // would fail in the first pass
  const struct {
    std::vector<std::string> files;
    std::string cwd;
    std::string tmpdir;
    const char* message;
  } cases[] = {
      {{"in.mid", ""}, "", "", "Can't open file  for writing\n"},
      // no scratch file can be made in /proc, whoever runs this
      {{(dir / "in.mid").string()}, "/proc", "/proc", "Can't open tempfile xxxx4339.tmp.XXXXXX for writing\n"},
  };
  for (const auto& c : cases) {
    const Result r = run_program(RETUNE_BIN, zeros_and(c.files),
                                 RunOptions().at(c.cwd.empty() ? dir.path().string() : c.cwd).with_env("TMPDIR=" + c.tmpdir));
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"in.mid"});
  }
}

TEST(Files, ScratchFileFallsBackToTheTemporaryDirectory) {
  TempDir dir;
  TempDir tmp;
  write_file(dir / "in.mid", kInput);
  const Result r = run_program(RETUNE_BIN, zeros_and({(dir / "in.mid").string()}),
                               RunOptions().at("/proc").with_env("TMPDIR=" + tmp.path().string()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kRetuned);
  EXPECT_TRUE(tmp.list().empty());
}

// A new output file is written directly, and --poly spills only large
// tracks: neither needs a scratch file, so neither fails for want of one.
TEST(Files, NewOutputFileNeedsNoScratchFile) {
  TempDir dir;
  write_file(dir / "in.mid", kInput);
  for (const std::vector<std::string>& method : {std::vector<std::string>{}, {"--poly"}}) {
    std::vector<std::string> args = method;
    args.insert(args.end(), {"--tuning", "meantone", (dir / "in.mid").string()});
    const Result here = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
    args.push_back((dir / "out.mid").string());
    const Result r = run_program(RETUNE_BIN, args, RunOptions().at("/proc").with_env("TMPDIR=/proc"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "out.mid"), here.out);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
    fs::remove(dir / "out.mid");
  }
}

}  // namespace
