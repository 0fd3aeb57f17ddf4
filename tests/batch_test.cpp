// Many files in one run: the same bytes as single runs, failures named and
// counted, the status of the first failure, nothing left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <map>
#include <sstream>
#include <thread>

#include "driver/batch.h"
#include "driver/report.h"
#include "run_binary.h"
#include "smf_gen.h"

using namespace smf_test;

namespace {

// A directory of good and broken files, each with what a single run makes of
// it: its output, or its message and status.
struct Collection {
  TempDir dir;
  std::vector<std::string> names = {"one.mid", "short.mid", "two.mid", "bad.mid", "missing.mid", "three.mid"};
  std::map<std::string, std::string> single;  // name -> single run's output

  Collection() {
    const std::pair<std::string, uint64_t> generated[] = {{"one.mid", 1}, {"two.mid", 2}, {"three.mid", 3}};
    fs::create_directory(dir / "single");
    for (const auto& [name, seed] : generated) {
      write_file(dir / name, generate_smf({.seed = seed, .target_bytes = 20000 * seed}));
      const Result r = run_program(RETUNE_BIN, {"--tuning", "meantone", name, "single/" + name}, at());
      EXPECT_EQ(r.status, 0) << r.err;
      single[name] = read_file(dir / "single" / name);
    }
    fs::remove_all(dir / "single");
    write_file(dir / "short.mid", read_file(dir / "one.mid").substr(0, 500));
    write_file(dir / "bad.mid", "MThx");
  }
  RunOptions at() const { return RunOptions().at(dir.path().string()); }
  std::vector<std::string> args(std::vector<std::string> options) const {
    options.insert(options.end(), names.begin(), names.end());
    return options;
  }
};

const char kFailures[] =
    "short.mid: File format error: EOF encountered\n"
    "bad.mid: MIDI track header incorrect\n"
    "missing.mid: Can't open file missing.mid for reading\n";

TEST(Batch, SameBytesAsSingleRunsInParallelAndSerially) {
  Collection c;
  // Started with SIGCHLD ignored too, which would reap the workers unseen.
  const std::vector<std::string> plain, chld_ignored = {"bash", "-c", "trap '' CHLD; exec \"$0\" \"$@\""};
  for (const auto& [jobs, prefix] : {std::pair{"1", plain}, {"3", plain}, {"2", chld_ignored}}) {
    const Result r =
        run_program(RETUNE_BIN, c.args({"--tuning", "meantone", "-j", jobs, "-d", "out/new"}), c.at().as(prefix));
    EXPECT_EQ(r.err, std::string(kFailures) + "retuned 3 files, 3 failed\n") << jobs;
    EXPECT_EQ(r.status, 255) << jobs;  // the first failure's, in the order given
    EXPECT_EQ(r.out, "");
    for (const auto& [name, bytes] : c.single) EXPECT_EQ(read_file(c.dir / "out/new" / name), bytes) << name;
    EXPECT_EQ(TempDir::list_of(c.dir / "out/new"), (std::vector<std::string>{"one.mid", "three.mid", "two.mid"}));
    fs::remove_all(c.dir / "out");
  }
}

// One worker retunes file after file, failures between them: each method's
// files come out as their single runs make them, nothing carried over.
TEST(Batch, OneWorkerManyFilesAsSingleRuns) {
  Collection c;
  for (const char* method : {"--poly", "--mts", "--mts=keys"}) {
    const Result r = run_program(RETUNE_BIN, c.args({method, "--tuning", "meantone", "-j1", "-d", "out"}), c.at());
    EXPECT_TRUE(r.err.ends_with("retuned 3 files, 3 failed\n")) << method << ": " << r.err;
    for (const auto& [name, bytes] : c.single) {
      const Result single = run_program(RETUNE_BIN, {method, "--tuning", "meantone", name}, c.at());
      EXPECT_EQ(read_file(c.dir / "out" / name), single.out) << method << " " << name;
    }
    fs::remove_all(c.dir / "out");
  }
}

// With a tuning option every operand is a file, twelve or more of them too.
TEST(Batch, TwelveFilesOrMoreWithATuningOption) {
  Collection c;
  std::vector<std::string> files;
  for (int i = 1; i <= 13; ++i) {
    files.push_back(std::to_string(i) + ".mid");
    fs::copy_file(c.dir / "one.mid", c.dir / files.back());
  }
  const std::vector<std::vector<std::string>> runs = {{"--tuning", "meantone", "-d", "out"},
                                                      {"--tuning", "meantone", "--in-place", "--"}};
  for (std::vector<std::string> args : runs) {
    args.insert(args.end(), files.begin(), files.end());
    const Result r = run_program(RETUNE_BIN, args, c.at());
    EXPECT_EQ(r.status, 0) << args[2];
    EXPECT_EQ(r.err, "") << args[2];
    for (const std::string& name : files)
      EXPECT_EQ(read_file(c.dir / (args[2] == "-d" ? "out/" + name : name)), c.single["one.mid"]) << name;
  }
}

// Quiet on success; every line a file's run says, named; the summary when
// asked for or when a file failed.
TEST(Batch, EveryLineNamedSummaryWhenAskedOrFailed) {
  Collection c;
  // What a single run says, each line after the file's name rather than the program's.
  auto named = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"one.mid", "single.mid"});
    std::string said = run_program(RETUNE_BIN, options, c.at()).err;
    if (said.starts_with("retune: ")) said = said.substr(8);
    return retune::driver::each_line("one.mid: ", said);
  };
  std::vector<std::string> offsets = {"1200"};
  offsets.insert(offsets.end(), 11, "0");
  std::vector<std::string> beyond = {"--mts=keys"};
  beyond.insert(beyond.end(), offsets.begin(), offsets.end());
  const struct {
    std::vector<std::string> options;
    std::vector<std::string> files;
    std::string err;
  } cases[] = {
      {{"--tuning", "meantone"}, {"one.mid"}, ""},
      {{"--tuning", "meantone", "--verbose"}, {"one.mid"},
       named({"--tuning", "meantone", "--verbose"}) + "retuned 1 file, 0 failed\n"},
      {{"--tuning", "meantone", "--poly", "--verbose"}, {"one.mid"},
       named({"--tuning", "meantone", "--poly", "--verbose"}) + "retuned 1 file, 0 failed\n"},
      {beyond, {"one.mid"},
       "one.mid: 1 key lies beyond the pitches this method reaches in MIDI's range, by up to 400.0 cents: no note is "
       "played there\n"},
      {{"--tuning", "meantone"}, {"one.mid", "bad.mid"}, "bad.mid: MIDI track header incorrect\nretuned 1 file, 1 failed\n"},
  };
  for (const auto& c2 : cases) {
    std::vector<std::string> args = c2.options;
    args.insert(args.end(), {"-j1", "-d", "out"});
    args.insert(args.end(), c2.files.begin(), c2.files.end());
    const Result r = run_program(RETUNE_BIN, args, c.at());
    EXPECT_EQ(r.err, c2.err) << args[1];
  }
}

// A worker that runs out of memory is a failure of its file like any other.
TEST(Batch, OutOfMemoryIsNamed) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limits tried";
#endif
  TempDir dir;
  write_file(dir / "big.mid", generate_smf({.seed = 5, .target_bytes = 512 << 10}));
  for (int mib = 32; mib > 2; --mib) {
    const Result r = run_program(RETUNE_BIN, {"--poly", "--tuning", "meantone", "-j1", "-d", "out", "big.mid"},
                                 RunOptions().at(dir.path().string()).as({"prlimit", "--as=" + std::to_string(mib << 20)}));
    if (r.status == 0) {
      fs::remove_all(dir / "out");
      continue;
    }
    EXPECT_EQ(r.err, "big.mid: out of memory\nretuned 0 files, 1 failed\n") << mib << " MiB";
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(TempDir::list_of(dir / "out").empty());
    return;
  }
  ADD_FAILURE() << "no limit made the run fail";
}

TEST(Batch, InPlace) {
  Collection c;
  const std::string bad = read_file(c.dir / "bad.mid");
  const Result r = run_program(RETUNE_BIN, c.args({"--in-place", "--tuning", "meantone", "--verbose"}), c.at());
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("one.mid: "), std::string::npos);
  EXPECT_NE(r.err.find(" pitch-bend events inserted\n"), std::string::npos);
  EXPECT_EQ(r.err.substr(r.err.size() - 26), "retuned 3 files, 3 failed\n");
  for (const auto& [name, bytes] : c.single) EXPECT_EQ(read_file(c.dir / name), bytes) << name;
  EXPECT_EQ(read_file(c.dir / "bad.mid"), bad);
  EXPECT_EQ(c.dir.list(), (std::vector<std::string>{"bad.mid", "one.mid", "short.mid", "three.mid", "two.mid"}));
}

TEST(Batch, RefusedBeforeAnyWork) {
  TempDir dir;
  write_file(dir / "a.mid", "MThd");
  fs::create_directory(dir / "sub");
  write_file(dir / "sub/a.mid", "MThd");
  const struct {
    std::vector<std::string> args;
    const char* message;
    int status;
  } cases[] = {
      {{"-d", "out", "a.mid", "sub/a.mid"}, "Files a.mid and sub/a.mid would both be written to out/a.mid\n", 4},
      {{"-d", ".", "sub/a.mid", "a.mid"}, "Output ./a.mid would overwrite the input a.mid\n", 4},
      {{"--in-place", "a.mid", "./a.mid"}, "Files a.mid and ./a.mid are the same file\n", 4},
      {{"-d", "out", "--in-place", "a.mid"}, "Give either --output-dir or --in-place, not both\n", 4},
      {{"-j", "2", "a.mid"}, "Option -j goes with --output-dir or --in-place\n", 4},
      {{"-j0", "-d", "out", "a.mid"}, "Invalid value \"0\" for -j: expected 1 to 256\n", 4},
      {{"-d", "out", "-j", "2", "--jobs=3", "a.mid"}, "Option --jobs given twice with different values: \"2\" and \"3\"\n", 4},
      {{"--output-dir=out"}, "Options --output-dir and --in-place need the files to retune\n", 4},
      {{"-dout", "-"}, "Options --output-dir and --in-place take files, not -\n", 4},
      {{"--print-offsets", "--in-place"}, "Option --print-offsets takes no files\n", 4},
      {{"-d", "a.mid/out", "sub/a.mid"}, "Can't create directory a.mid/out\n", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--tuning", "meantone"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"a.mid", "sub"}));
  }
}

TEST(Batch, CountsWithThousandsSeparators) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {1204, "1,204"}, {123456, "123,456"}, {1234567, "1,234,567"}};
  for (const auto& [n, text] : cases) EXPECT_EQ(retune::driver::with_thousands(n), text);
}

// A process's state letter and parent, from /proc; state 0 when it is gone.
std::pair<char, pid_t> process_status(const fs::path& proc_entry) {
  const std::string stat = read_file(proc_entry / "stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return {0, 0};
  std::istringstream fields(stat.substr(close + 2));
  char state = 0;
  pid_t ppid = 0;
  fields >> state >> ppid;
  return {state, ppid};
}

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc"))
    if (process_status(entry.path()).second == parent) children.push_back(std::stoi(entry.path().filename().string()));
  return children;
}

// Waits up to five seconds for `pid` to end (a zombie has ended).
bool ends(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    const char state = process_status("/proc/" + std::to_string(pid)).first;
    if (state == 0 || state == 'Z') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Starts a batch whose first file is a FIFO, feeds it half a large file so
// that its worker is surely mid-run, then kills the worker or the batch. The
// FIFO stays open meanwhile: nothing but the signal ends the worker.
void kill_mid_batch(bool whole_batch, int signal_number) {
  Collection c;
  mkfifo((c.dir / "slow.mid").c_str(), 0644);
  const pid_t batch = spawn_program({"sh", "-c", "exec \"$0\" \"$@\" 2>err", RETUNE_BIN, "--tuning", "meantone", "-j1",
                                     "-d", "out", "slow.mid", "one.mid", "bad.mid"},
                                    c.dir.path().string());
  const int fifo = open((c.dir / "slow.mid").c_str(), O_WRONLY);
  ASSERT_GE(fifo, 0);
  const std::string big = generate_smf({.seed = 9, .target_bytes = 4 << 20});
  ASSERT_EQ(write(fifo, big.data(), big.size() / 2), static_cast<ssize_t>(big.size() / 2));
  const std::vector<pid_t> workers = children_of(batch);
  ASSERT_EQ(workers.size(), 1u);
  kill(whole_batch ? batch : workers[0], signal_number);
  const bool ended = ends(batch);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(ends(workers[0]));
  close(fifo);
  int wstatus = 0;
  waitpid(batch, &wstatus, 0);
  if (whole_batch) {
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signal_number) << wstatus;
    EXPECT_TRUE(TempDir::list_of(c.dir / "out").empty());
  } else {
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 128 + SIGKILL) << wstatus;
    EXPECT_EQ(read_file(c.dir / "err"),
              "slow.mid: ended by signal 9 (Killed)\nbad.mid: MIDI track header incorrect\nretuned 1 file, 2 failed\n");
    EXPECT_EQ(TempDir::list_of(c.dir / "out"), std::vector<std::string>{"one.mid"});
    EXPECT_EQ(read_file(c.dir / "out" / "one.mid"), c.single["one.mid"]);
  }
}

TEST(Batch, KilledRunsLeaveNothing) {
  kill_mid_batch(false, SIGKILL);
  kill_mid_batch(true, SIGTERM);
  kill_mid_batch(true, SIGKILL);
}

TEST(Batch, ProgressOnATerminalOnly) {
  Collection c;
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal < 0) GTEST_SKIP() << "no pseudo-terminals here";
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const pid_t pid = spawn_program({"sh", "-c", std::string("exec \"$0\" \"$@\" 2>") + ptsname(terminal), RETUNE_BIN,
                                   "--tuning", "meantone", "-j1", "-d", "out", "one.mid", "bad.mid"},
                                  c.dir.path().string());
  std::string shown;
  char buffer[256];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(n));
    if (shown.find("failed\r\n") != std::string::npos) break;
  }
  waitpid(pid, nullptr, 0);
  close(terminal);
  EXPECT_EQ(shown,
            "\r\033[K1 of 2 files, 0 failed"
            "\r\033[Kbad.mid: MIDI track header incorrect\r\n2 of 2 files, 1 failed"
            "\r\033[Kretuned 1 file, 1 failed\r\n");
}

}  // namespace
