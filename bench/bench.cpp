// bench RETUNE WORKDIR [REPS [BASELINE]]: times retune as users meet it. Every
// output is removed before each timed run (a first run writes a new file),
// and cp and `cat in > out` run interleaved with the program in the same
// rounds, so that load on the machine hits all alike. Reports medians and
// minima, peak memory, a batch over a generated corpus (and over Debian's
// MIDI files where installed), the fixed cost per file, and last a summary
// against the targets. A BASELINE retune (an older build, say) is timed in
// the same rounds.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Runs `command`; with `stdout_path`, its standard output goes to that file
// (created afresh), as a shell's `> file` does.
Sample run(const std::vector<std::string>& command, const std::string& stdout_path = "") {
  std::vector<char*> argv;
  std::vector<std::string> copy = command;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    const int out = stdout_path.empty() ? null : open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
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
  double med() const { return median(wall); }
  double min() const { return *std::min_element(wall.begin(), wall.end()); }
};

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string make_plain(const std::string& dir, const std::string& name, size_t bytes) {
  const std::string path = dir + "/" + name;
  smf_test::GenOptions options;
  options.target_bytes = bytes;
  options.seed = bytes;
  write(path, smf_test::generate_smf(options));
  return path;
}

size_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

const char* const kMeantone[] = {"0", "-24", "-6.8", "10.3", "-13.7", "3.4", "-20.5", "-3.4", "-27.4", "-10.3", "6.8", "-17.1"};

std::vector<std::string> retune_command(const std::string& retune, const std::vector<std::string>& options,
                                        const std::vector<std::string>& files) {
  std::vector<std::string> c = {retune};
  c.insert(c.end(), options.begin(), options.end());
  // Meantone, but --adaptive takes no tuning.
  if (std::find(options.begin(), options.end(), "--adaptive") == options.end())
    c.insert(c.end(), std::begin(kMeantone), std::end(kMeantone));
  c.insert(c.end(), files.begin(), files.end());
  return c;
}

using Build = std::pair<std::string, std::string>;  // label, path

// One file through cp, `cat >` and every build, interleaved, outputs removed
// before each run.
struct Round {
  Series cp, cat;
  std::vector<Series> builds;
};

Round time_file(const std::vector<Build>& builds, const std::vector<std::string>& options, const std::string& in,
                const std::string& out, int reps) {
  Round r;
  r.builds.resize(builds.size());
  auto once = [&](bool keep) {
    unlink(out.c_str());
    const Sample c = run({"/bin/cp", in, out});
    unlink(out.c_str());
    const Sample k = run({"/bin/cat", in}, out);
    if (keep) r.cp.add(c), r.cat.add(k);
    for (size_t b = 0; b < builds.size(); ++b) {
      unlink(out.c_str());
      const Sample s = run(retune_command(builds[b].second, options, {in, out}));
      if (keep) r.builds[b].add(s);
    }
  };
  once(false);  // warm-up: the input in the page cache
  for (int i = 0; i < reps; ++i) once(true);
  unlink(out.c_str());
  return r;
}

void print_round(const char* label, const std::vector<Build>& builds, const Round& r, size_t bytes) {
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%-10s %-9s %9.4f %9.4f %9.4f %8.1f %9ld\n", label, "cp", r.cp.med(), r.cp.min(), 1.0, mb / r.cp.med(),
              r.cp.rss_kib);
  std::printf("%-10s %-9s %9.4f %9.4f %9.2f %8.1f %9ld\n", "", "cat >", r.cat.med(), r.cat.min(),
              r.cat.med() / r.cp.med(), mb / r.cat.med(), r.cat.rss_kib);
  for (size_t b = 0; b < builds.size(); ++b)
    std::printf("%-10s %-9s %9.4f %9.4f %9.2f %8.1f %9ld   (min/min %.2f)\n", "", builds[b].first.c_str(),
                r.builds[b].med(), r.builds[b].min(), r.builds[b].med() / r.cp.med(), mb / r.builds[b].med(),
                r.builds[b].rss_kib, r.builds[b].min() / r.cp.min());
}

void print_header() {
  std::printf("%-10s %-9s %9s %9s %9s %8s %9s\n", "input", "program", "median s", "min s", "x cp", "MB/s", "max KiB");
}

void clear_dir(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
    closedir(d);
  }
}

std::vector<std::string> midi_files_in(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".mid") files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A batch: `cp FILES DIR` against `retune -j 2 -d DIR FILES`; files per second.
struct BatchResult {
  double cp = 0, retune = 0;  // median seconds
  size_t files = 0;
};

void remove_dir(const std::string& dir) {
  clear_dir(dir);
  rmdir(dir.c_str());
}

// Every run writes into a directory of its own, as a user's run into a new
// one, and `dirs` lists them for removal after the last batch: a file system
// without a journal (ext4's) passes over the inodes freed in the last minute
// when it makes a file, so outputs removed just before a run would slow it
// down more than the program does.
BatchResult time_batch(const std::string& retune, const std::vector<std::string>& files, const std::string& outdir,
                       int reps, std::vector<std::string>& dirs) {
  mkdir(outdir.c_str(), 0755);
  Series c, r;
  for (int i = -1; i < reps; ++i) {
    const std::string cp_dir = outdir + "/cp" + std::to_string(i + 1), retune_dir = outdir + "/retune" + std::to_string(i + 1);
    mkdir(cp_dir.c_str(), 0755);
    std::vector<std::string> cp = {"/bin/cp"};
    cp.insert(cp.end(), files.begin(), files.end());
    cp.push_back(cp_dir);
    const Sample a = run(cp);
    const Sample b = run(retune_command(retune, {"-j", "2", "-d", retune_dir}, files));
    if (i >= 0) c.add(a), r.add(b);
    dirs.insert(dirs.end(), {cp_dir, retune_dir});
  }
  dirs.push_back(outdir);
  return {c.med(), r.med(), files.size()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s RETUNE WORKDIR [REPS [BASELINE]]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[2];
  const int reps = argc > 3 ? std::max(5, std::atoi(argv[3])) : 7;
  std::vector<Build> builds = {{"retune", argv[1]}};
  if (argc > 4) builds.push_back({"baseline", argv[4]});
  const std::string out = dir + "/out.mid";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each row as it is measured, also into a file

  std::printf("Each output removed before its run; cp, cat > file and retune interleaved, %d rounds after a warm-up.\n",
              reps);
  std::printf("\nPlain method (meantone) on generated files\n");
  print_header();
  double plain_ratio = 0;
  for (const auto& [label, bytes] : {std::pair{"1 MB", size_t{1} << 20}, std::pair{"64 MB", size_t{64} << 20}}) {
    const std::string in = make_plain(dir, "in.mid", bytes);
    const Round r = time_file(builds, {}, in, out, reps);
    print_round(label, builds, r, file_size(in));
    plain_ratio = r.builds[0].med() / r.cp.med();
    unlink(in.c_str());
  }

  std::printf("\n--poly on dense files (chords of up to 12 notes, pedals, ramps, drums, 16 channels)\n");
  print_header();
  double poly_ratio = 0, poly_memory = 0, adaptive_seconds = 0;
  size_t poly_input = 0;
  long poly_kib = 0;
  for (const auto& [label, bytes] : {std::pair{"1 MB", size_t{1} << 20}, std::pair{"64 MB", size_t{64} << 20}}) {
    const std::string in = dir + "/dense.mid";
    write(in, smf_test::generate_dense({.seed = bytes, .target_bytes = bytes, .max_sources = 4}));
    const Round r = time_file(builds, {"--poly"}, in, out, reps);
    print_round(label, builds, r, file_size(in));
    poly_ratio = r.builds[0].med() / r.cp.med();
    poly_input = file_size(in);
    poly_kib = r.builds[0].rss_kib;
    poly_memory = static_cast<double>(poly_kib) * 1024 / static_cast<double>(poly_input);
    if (bytes == size_t{1} << 20) {  // the plan over the whole piece, on this build alone
      const std::vector<Build> latest(builds.begin(), builds.begin() + 1);
      const Round a = time_file(latest, {"--adaptive"}, in, out, reps);
      print_round("--adaptive", latest, a, file_size(in));
      adaptive_seconds = a.builds[0].med();
    }
    unlink(in.c_str());
  }

  // The plain method's files under --poly. Their channels set controllers and
  // parameters at random, all of which a channel taken over for another
  // source is given again: the output grows faster than the input, so the
  // sizes stop at 4 MB.
  std::printf("\n--poly on the plain method's generated files (controllers and parameters at random on every channel)\n");
  print_header();
  for (const auto& [label, bytes] : {std::pair{"1 MB", size_t{1} << 20}, std::pair{"4 MB", size_t{4} << 20}}) {
    const std::string in = make_plain(dir, "in.mid", bytes);
    const Round r = time_file(builds, {"--poly"}, in, out, reps);
    print_round(label, builds, r, file_size(in));
    run(retune_command(builds[0].second, {"--poly"}, {in, out}));
    std::printf("%-10s output %.1f x input\n", "", static_cast<double>(file_size(out)) / static_cast<double>(file_size(in)));
    unlink(out.c_str());
    unlink(in.c_str());
  }

  // A corpus like a real one: many small files, a few large; several tracks,
  // chords and drums.
  std::printf("\nBatch, -j 2 -d DIR, median of %d runs\n", std::max(3, reps / 2));
  const std::string corpus = dir + "/corpus";
  mkdir(corpus.c_str(), 0755);
  clear_dir(corpus);
  std::vector<std::string> files;
  size_t corpus_bytes = 0;
  smf_test::Random rng(21);
  for (int i = 0; i < 3000; ++i) {
    const double u = static_cast<double>(rng.below(1000)) / 1000;
    const size_t bytes = 2048 + static_cast<size_t>(u * u * u * 98 * 1024);
    const std::string file = smf_test::generate_dense(
        {.seed = static_cast<uint64_t>(i) + 1, .target_bytes = bytes, .max_sources = 1 + static_cast<int>(rng.below(4))});
    files.push_back(corpus + "/" + std::to_string(i) + ".mid");
    write(files.back(), file);
    corpus_bytes += file.size();
  }
  std::printf("%-28s %7s %9s %9s %10s %8s\n", "corpus", "files", "avg KB", "cp s", "retune s", "files/s");
  double batch_rate = 0;
  const int batch_reps = std::max(3, reps / 2);
  std::vector<std::string> batch_dirs;
  {
    const BatchResult b = time_batch(builds[0].second, files, dir + "/batch-generated", batch_reps, batch_dirs);
    batch_rate = static_cast<double>(b.files) / b.retune;
    std::printf("%-28s %7zu %9.1f %9.3f %10.3f %8.0f\n", "generated", b.files,
                static_cast<double>(corpus_bytes) / 1e3 / static_cast<double>(b.files), b.cp, b.retune, batch_rate);
  }
  std::vector<std::string> real;
  for (const char* d : {"/usr/share/games/openttd/baseset/openmsx", "/usr/share/planetblupi/music"})
    for (const std::string& f : midi_files_in(d)) real.push_back(f);
  if (!real.empty()) {
    size_t real_bytes = 0;
    for (const std::string& f : real) real_bytes += file_size(f);
    const BatchResult b = time_batch(builds[0].second, real, dir + "/batch-debian", batch_reps, batch_dirs);
    std::printf("%-28s %7zu %9.1f %9.3f %10.3f %8.0f\n", "Debian's (openmsx, blupi)", b.files,
                static_cast<double>(real_bytes) / 1e3 / static_cast<double>(b.files), b.cp, b.retune,
                static_cast<double>(b.files) / b.retune);
  }
  for (const std::string& d : batch_dirs) remove_dir(d);
  remove_dir(corpus);

  // The fixed cost: many runs on a small file, as from a script.
  const std::string small = make_plain(dir, "small.mid", 2048);
  constexpr int kRuns = 200;
  Sample cp_total;
  std::vector<Sample> totals(builds.size());
  std::vector<double> start_cpu(builds.size());
  for (int i = -1; i < kRuns; ++i) {
    unlink(out.c_str());
    const Sample a = run({"/bin/cp", small, out});
    if (i >= 0) cp_total.cpu += a.cpu, cp_total.wall += a.wall;
    for (size_t b = 0; b < builds.size(); ++b) {
      unlink(out.c_str());
      const Sample s = run(retune_command(builds[b].second, {}, {small, out}));
      const Sample v = run({builds[b].second, "--version"});
      if (i >= 0) totals[b].cpu += s.cpu, totals[b].wall += s.wall, start_cpu[b] += v.cpu;
    }
  }
  std::printf("\n2 KB file, %d runs each, per run: cp %.3f ms CPU (%.3f ms wall)\n", kRuns, cp_total.cpu / kRuns * 1e3,
              cp_total.wall / kRuns * 1e3);
  for (size_t b = 0; b < builds.size(); ++b)
    std::printf("  %-8s %.3f ms CPU (%.3f ms wall); start-up alone (--version) %.3f ms CPU\n", builds[b].first.c_str(),
                totals[b].cpu / kRuns * 1e3, totals[b].wall / kRuns * 1e3, start_cpu[b] / kRuns * 1e3);
  unlink(small.c_str());
  unlink(out.c_str());

  std::printf("\nSummary (medians)                                   measured        target\n");
  std::printf("plain, 64 MB, time / cp time                        %6.2fx         <= 6x, aim 4.5x\n", plain_ratio);
  std::printf("--poly, 64 MB dense, time / cp time                 %6.2fx         <= 25x\n", poly_ratio);
  std::printf("--poly, peak memory / input (%.1f MiB in, %ld KiB)   %6.2fx         <= 1.5x + 16 MiB = %.0f KiB\n",
              static_cast<double>(poly_input) / 1048576, poly_kib, poly_memory,
              1.5 * static_cast<double>(poly_input) / 1024 + 16384);
  std::printf("--adaptive, 1 MB dense, time                        %6.3f s        < 1 s\n", adaptive_seconds);
  std::printf("batch, 3,000 generated files, -j 2: files per second %6.0f         >= 5000\n", batch_rate);
  std::printf("2 KB file, CPU per run                              %6.3f ms      <= cp's %.3f ms\n",
              totals[0].cpu / kRuns * 1e3, cp_total.cpu / kRuns * 1e3);
  return 0;
}
