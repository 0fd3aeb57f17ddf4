// bench RETUNE WORKDIR [REPS [BASELINE]]: times retune against cp on generated
// files, interleaved, after a warm-up, and prints medians, spreads,
// throughput, peak memory and the fixed cost per file. A BASELINE retune (an
// older build, say) is timed in the same rounds, so that the two compare
// under the same load.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/poly_gen.h"
#include "support/smf_gen.h"

namespace {

struct Sample {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds
  long rss_kib = 0;
};

Sample run(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  std::vector<std::string> copy = command;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench: %s failed\n", command[0].c_str());
    std::exit(1);
  }
  Sample s;
  s.wall = std::chrono::duration<double>(end - start).count();
  s.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  s.rss_kib = usage.ru_maxrss;
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Series {
  std::vector<double> wall, cpu;
  long rss_kib = 0;
  void add(const Sample& s) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
    rss_kib = std::max(rss_kib, s.rss_kib);
  }
  double spread() const { return *std::max_element(wall.begin(), wall.end()) - *std::min_element(wall.begin(), wall.end()); }
};

std::string make_file(const std::string& dir, const std::string& name, size_t bytes) {
  const std::string path = dir + "/" + name;
  smf_test::GenOptions options;
  options.target_bytes = bytes;
  options.seed = bytes;
  const std::string file = smf_test::generate_smf(options);
  std::ofstream(path, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
  return path;
}

const char* const kMeantone[] = {"0", "-24", "-6.8", "10.3", "-13.7", "3.4", "-20.5", "-3.4", "-27.4", "-10.3", "6.8", "-17.1"};

std::vector<std::string> retune_command(const std::string& retune, const std::string& in, const std::string& out) {
  std::vector<std::string> c = {retune};
  c.insert(c.end(), std::begin(kMeantone), std::end(kMeantone));
  c.push_back(in);
  c.push_back(out);
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s RETUNE WORKDIR [REPS [BASELINE]]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[2];
  const int reps = argc > 3 ? std::max(5, std::atoi(argv[3])) : 7;
  // The build under test first, then the baseline if any.
  std::vector<std::pair<std::string, std::string>> builds = {{"retune", argv[1]}};
  if (argc > 4) builds.push_back({"baseline", argv[4]});
  const std::string cp = "/bin/cp";
  const std::string out = dir + "/out.mid";

  std::printf("retune against cp, median of %d interleaved runs after a warm-up\n\n", reps);
  std::printf("%-8s %-8s %10s %10s %8s %9s %7s %9s %9s\n", "input", "build", "cp s", "build s", "spread", "MB/s",
              "ratio", "cp KiB", "max KiB");
  const struct {
    const char* label;
    size_t bytes;
  } sizes[] = {{"1 MB", 1u << 20}, {"64 MB", 64u << 20}, {"256 MB", 256u << 20}};
  for (const auto& size : sizes) {
    const std::string in = make_file(dir, "in.mid", size.bytes);
    const double megabytes = static_cast<double>(std::ifstream(in, std::ios::binary | std::ios::ate).tellg()) / 1e6;
    run({cp, in, out});
    for (const auto& build : builds) run(retune_command(build.second, in, out));
    Series c;
    std::vector<Series> r(builds.size());
    for (int i = 0; i < reps; ++i) {
      c.add(run({cp, in, out}));
      for (size_t b = 0; b < builds.size(); ++b) r[b].add(run(retune_command(builds[b].second, in, out)));
    }
    const double cm = median(c.wall);
    for (size_t b = 0; b < builds.size(); ++b) {
      const double rm = median(r[b].wall);
      std::printf("%-8s %-8s %10.4f %10.4f %8.4f %9.1f %7.2f %9ld %9ld\n", size.label, builds[b].first.c_str(), cm, rm,
                  r[b].spread(), megabytes / rm, rm / cm, c.rss_kib, r[b].rss_kib);
    }
    unlink(in.c_str());
  }

  // --poly reads the whole file: time and memory on dense chord files.
  std::printf("\n--poly on dense files (chords of up to 12 notes, pedals, ramps, 16 channels)\n");
  std::printf("%-8s %10s %8s %9s %9s\n", "input", "retune s", "spread", "MB/s", "rtn KiB");
  for (const auto& size : {sizes[0], sizes[1]}) {
    const std::string in = dir + "/dense.mid";
    const std::string file = smf_test::generate_dense({.seed = size.bytes, .target_bytes = size.bytes, .max_sources = 4});
    std::ofstream(in, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
    std::vector<std::string> command = retune_command(builds[0].second, in, out);
    command.insert(command.begin() + 1, "--poly");
    run(command);
    Series r;
    for (int i = 0; i < reps; ++i) r.add(run(command));
    const double rm = median(r.wall);
    std::printf("%-8s %10.4f %8.4f %9.1f %9ld\n", size.label, rm, r.spread(), static_cast<double>(file.size()) / 1e6 / rm,
                r.rss_kib);
    unlink(in.c_str());
  }

  // The fixed cost: many runs on a small file, as over a corpus.
  const std::string small = make_file(dir, "small.mid", 2048);
  constexpr int kRuns = 200;
  run({cp, small, out});
  for (const auto& build : builds) run(retune_command(build.second, small, out));
  Sample cp_total;
  std::vector<Sample> totals(builds.size());
  std::vector<double> start_cpu(builds.size());
  for (int i = 0; i < kRuns; ++i) {
    const Sample a = run({cp, small, out});
    cp_total.cpu += a.cpu, cp_total.wall += a.wall;
    for (size_t b = 0; b < builds.size(); ++b) {
      const Sample s = run(retune_command(builds[b].second, small, out));
      totals[b].cpu += s.cpu, totals[b].wall += s.wall;
      start_cpu[b] += run({builds[b].second, "--version"}).cpu;
    }
  }
  std::printf("\n2 KB file, %d runs each, per run: cp %.3f ms CPU (%.3f ms wall)\n", kRuns, cp_total.cpu / kRuns * 1e3,
              cp_total.wall / kRuns * 1e3);
  for (size_t b = 0; b < builds.size(); ++b)
    std::printf("  %-8s %.3f ms CPU (%.3f ms wall); start-up alone (--version) %.3f ms CPU\n", builds[b].first.c_str(),
                totals[b].cpu / kRuns * 1e3, totals[b].wall / kRuns * 1e3, start_cpu[b] / kRuns * 1e3);
  unlink(small.c_str());
  unlink(out.c_str());
  return 0;
}
