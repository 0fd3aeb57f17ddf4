// Bad input and faults: a catalogued message and status, never a crash or a
// hang, no file left behind, an existing outfile never damaged.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <thread>

#include "catalogue.h"
#include "midi_model.h"
#include "run_binary.h"
#include "smf_gen.h"

using namespace smf_test;

namespace {

const std::vector<std::string> kZeros(12, "0");
const retune::Tuning kTuning = {0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4, -10.3, 6.8, -17.1};
const std::vector<std::string> kTuningArgs = {"0", "-24", "-6.8", "10.3", "-13.7", "3.4", "-20.5", "-3.4", "-27.4", "-10.3", "6.8", "-17.1"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& more) {
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// A small file with every kind of event.
std::string small_file() {
  return smf({hex("00 FF 51 03 07 A1 20 00 FF 2F 00"),
              hex("00 C0 05 00 90 3C 40 60 3C 00 00 B0 07 64 00 E0 00 40 00 F0 03 01 02 F7 00 FF 01 02 41 42") +
                  hex("00 91 40 40 10 81 40 40 00 D1 10 00 A1 40 10 00 F8 00 FF 2F 00")});
}

// In memory, a run either fails with a catalogued message or its output is
// the input retuned.
std::string judge(const std::string& input) {
  try {
    const std::string out = retune::retune_bytes(input, kTuning);
    return check_retuned(input, out, kTuning);
  } catch (const retune::io::Failure& f) {
    return is_catalogued(f.message(), f.status()) ? "" : "uncatalogued failure: " + f.message();
  }
}

TEST(Faults, EveryTruncationAndByteChangeEndsWell) {
  const std::string file = small_file();
  int runs = 0;
  for (size_t cut = 0; cut < file.size(); ++cut, ++runs) ASSERT_EQ(judge(file.substr(0, cut)), "") << cut;
  for (size_t at = 0; at < file.size(); ++at)
    for (int value = 0; value < 256; ++value, ++runs) {
      std::string changed = file;
      changed[at] = static_cast<char>(value);
      ASSERT_EQ(judge(changed), "") << at << " = " << value;
    }
  RecordProperty("runs", runs);
}

TEST(Faults, EveryTruncationEndToEnd) {
  TempDir dir;
  const std::string file = small_file();
  write_file(dir / "kept.mid", "precious");
  for (size_t cut = 0; cut < file.size(); ++cut) {
    write_file(dir / "in.mid", file.substr(0, cut));
    const Result r = run_program(RETUNE_BIN, with(kZeros, {"in.mid", "kept.mid"}), RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.err, "File format error: EOF encountered\n") << cut;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(dir / "kept.mid"), "precious");
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "kept.mid"}));
  }
}

TEST(Faults, WriteFailsMidPassUnderAFileSizeLimit) {
  TempDir dir;
  write_file(dir / "in.mid", generate_smf({.seed = 3, .target_bytes = 200000}));
  write_file(dir / "out.mid", "precious");
  const std::string command = "ulimit -f 64; exec \"$0\" \"$@\"";
  const std::vector<std::string> argv = with(with({"-c", command, RETUNE_BIN}, kZeros), {"in.mid", "out.mid"});
  const Result limited = run_program("sh", argv, RunOptions().at(dir.path().string()));
  EXPECT_EQ(limited.err, "File write error\n");
  EXPECT_EQ(limited.status, 255);
  EXPECT_EQ(read_file(dir / "out.mid"), "precious");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
}

// Starts retune reading a pipe we feed slowly, so a signal surely arrives
// mid-run; the run must die of it and leave nothing.
void interrupt_mid_run(int signal_number) {
  TempDir dir;
  write_file(dir / "out.mid", "precious");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = spawn_program(with(with({RETUNE_BIN}, kZeros), {"/dev/stdin", "out.mid"}), dir.path().string(),
                                  pipe_fds[0]);
  close(pipe_fds[0]);
  const std::string big = generate_smf({.seed = 9, .target_bytes = 4 << 20});
  // Half the file: far more than a pipe holds, so once the write returns the
  // run is in its first pass, its output open.
  ASSERT_EQ(write(pipe_fds[1], big.data(), big.size() / 2), static_cast<ssize_t>(big.size() / 2));
  kill(pid, signal_number);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  close(pipe_fds[1]);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signal_number) << wstatus;
  EXPECT_EQ(dir.list(), std::vector<std::string>{"out.mid"});
  EXPECT_EQ(read_file(dir / "out.mid"), "precious");
}

TEST(Faults, InterruptedRunsLeaveNothing) {
  interrupt_mid_run(SIGINT);
  interrupt_mid_run(SIGTERM);
  TempDir probe;
  const int unnamed = open(probe.path().c_str(), O_TMPFILE | O_RDWR, 0600);
  if (unnamed < 0) GTEST_SKIP() << "no unnamed files here: a killed run leaves its temporary output";
  close(unnamed);
  interrupt_mid_run(SIGKILL);
}

TEST(Faults, ParallelRunsInOneDirectory) {
  TempDir dir;
  constexpr int kRuns = 8;
  std::vector<pid_t> pids;
  for (int i = 0; i < kRuns; ++i)
    write_file(dir / ("in" + std::to_string(i) + ".mid"), generate_smf({.seed = 100u + i, .target_bytes = 300000}));
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    const pid_t pid =
        spawn_program(with(with({RETUNE_BIN}, kTuningArgs), {"in" + n + ".mid", "out" + n + ".mid"}), dir.path().string());
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  }
  for (int i = 0; i < kRuns; ++i) {
    const std::string in = read_file(dir / ("in" + std::to_string(i) + ".mid"));
    EXPECT_EQ(read_file(dir / ("out" + std::to_string(i) + ".mid")), retune::retune_bytes(in, kTuning)) << i;
  }
  EXPECT_EQ(dir.list().size(), 2u * kRuns);
}

TEST(Faults, PipesBothWays) {
  TempDir dir;
  const std::string in = generate_smf({.seed = 4, .target_bytes = 300000});
  write_file(dir / "in.mid", in);
  const Result r = run_program("sh", with({"-c", "cat in.mid | \"$0\" \"$@\" | cat > out.mid", RETUNE_BIN}, kTuningArgs),
                               RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "out.mid"), retune::retune_bytes(in, kTuning));
}

// Permission bits do not bar root: run these as an unprivileged user.
std::vector<std::string> unprivileged() {
  if (geteuid() != 0) return {};
  if (!have_program("setpriv")) return {"(none)"};
  return {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
}

TEST(Faults, PermissionsAreHonoured) {
  const std::vector<std::string> as = unprivileged();
  if (!as.empty() && as[0] == "(none)") GTEST_SKIP() << "running as root without setpriv: permissions cannot bar writing";
  TempDir dir;
  write_file(dir / "in.mid", small_file());
  write_file(dir / "ro.mid", "precious");
  write_file(dir / "secret.mid", small_file());
  chmod((dir / "in.mid").c_str(), 0644);
  chmod((dir / "ro.mid").c_str(), 0444);
  chmod((dir / "secret.mid").c_str(), 0000);
  fs::create_directory(dir / "locked");
  write_file(dir / "locked" / "open.mid", "precious");
  chmod((dir / "locked" / "open.mid").c_str(), 0666);
  chmod((dir / "locked").c_str(), 0555);
  const struct {
    std::vector<std::string> files;
    std::string message;
  } cases[] = {
      {{"in.mid", "ro.mid"}, "Can't open file ro.mid for writing\n"},
      {{"secret.mid", "new.mid"}, "Can't open file secret.mid for reading\n"},
      {{"in.mid", "locked/open.mid"},
       "Can't write file locked/open.mid: its directory locked refuses the new file (Permission denied)\n"},
      {{"--in-place", "locked/open.mid"},
       "locked/open.mid: Can't write file locked/open.mid: its directory locked refuses the new file (Permission "
       "denied)\nretuned 0 files, 1 failed\n"},
  };
  // The build tree may be closed to other users: they run a copy.
  TempDir bin;
  const fs::path program = bin / "retune";
  fs::copy_file(RETUNE_BIN, program);
  chmod(program.c_str(), 0755);
  for (const auto& c : cases) {
    std::vector<std::string> a = kZeros;
    a.insert(a.end(), c.files.begin(), c.files.end());
    const Result r = run_program(program.string(), a, RunOptions().at(dir.path().string()).as(as));
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(read_file(dir / "ro.mid"), "precious");
  EXPECT_EQ(read_file(dir / "locked" / "open.mid"), "precious");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "locked", "ro.mid", "secret.mid"}));
}

// Peak resident memory of a run, in KiB.
long peak_memory_kib(const std::string& input_path, const std::string& cwd) {
  const pid_t pid = spawn_program(with(with({RETUNE_BIN}, kZeros), {input_path, "/dev/null"}), cwd);
  int wstatus = 0;
  struct rusage usage {};
  wait4(pid, &wstatus, 0, &usage);
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0 ? usage.ru_maxrss : -1;
}

TEST(Resources, MemoryStaysFlatWhateverTheInputSize) {
  TempDir dir;
  write_file(dir / "small.mid", generate_smf({.seed = 1, .target_bytes = 100000}));
  write_file(dir / "large.mid", generate_smf({.seed = 1, .target_bytes = 24 << 20}));
  const long small = peak_memory_kib("small.mid", dir.path().string());
  const long large = peak_memory_kib("large.mid", dir.path().string());
  ASSERT_GT(small, 0);
  ASSERT_GT(large, 0);
  // Sanitizer runtimes add their own overhead; the growth is what matters.
  EXPECT_LT(large - small, 2048) << small << " KiB vs " << large << " KiB";
}

TEST(Resources, HugeAnnouncedTracksEndAtEndOfInput) {
  TempDir dir;
  std::string in = header(1, 1024);
  for (int i = 0; i < 3; ++i) in += track_declared(hex("00 90 3C 40 00 FF 2F 00"), 0x7FFFFFFF);
  write_file(dir / "in.mid", in);
  const Result r = run_program(RETUNE_BIN, with(kZeros, {"in.mid", "out.mid"}), RunOptions().at(dir.path().string()));
  EXPECT_EQ(r.err, "File format error: EOF encountered\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"in.mid"});
}

// With less and less address space, a run succeeds until its buffers can no
// longer be had; then it says so and leaves nothing behind.
TEST(Resources, OutOfMemoryIsReportedAndLeavesNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limits tried";
#endif
  TempDir dir;
  write_file(dir / "in.mid", small_file());
  write_file(dir / "out.mid", "precious");
  for (int kib = 16384; kib > 1024; kib -= 256) {
    const std::string before = read_file(dir / "out.mid");
    const Result r = run_program(RETUNE_BIN, with(kZeros, {"in.mid", "out.mid"}),
                                 RunOptions().at(dir.path().string()).as({"prlimit", "--as=" + std::to_string(kib << 10)}));
    if (r.status == 0) continue;
    EXPECT_EQ(r.err, "retune: out of memory\n") << kib << " KiB";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
    EXPECT_EQ(read_file(dir / "out.mid"), before);
    return;
  }
  ADD_FAILURE() << "no limit made the run fail";
}

}  // namespace
