#include "driver/batch.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/files.h"
#include "driver/report.h"
#include "driver/retune_file.h"

namespace retune::driver {

namespace {

struct Job {
  const char* infile;
  std::string outfile;
  int status = -1;      // the exit status once it has ended
  std::string message;  // its failure, or what --verbose says
};

std::vector<Job> plan(const Options& options) {
  std::vector<Job> jobs;
  for (const char* file : options.files) {
    if (options.in_place) {
      jobs.push_back({file, file, -1, ""});
      continue;
    }
    const std::string_view path = file;
    const size_t slash = path.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    jobs.push_back({file, std::string(options.output_dir) + "/" + std::string(base), -1, ""});
  }
  return jobs;
}

// Refuses, before any work, what would retune a file twice or overwrite an
// input.
void check_outputs(const std::vector<Job>& jobs, bool in_place) {
  std::map<std::pair<dev_t, ino_t>, const char*> inputs;
  for (const Job& job : jobs) {
    struct stat st;
    if (stat(job.infile, &st) != 0) continue;  // its own run will say so
    const auto [known, fresh] = inputs.emplace(std::pair{st.st_dev, st.st_ino}, job.infile);
    if (!fresh) io::fail(io::kExitBadArguments, "Files %s and %s are the same file\n", known->second, job.infile);
  }
  if (in_place) return;
  std::map<std::string, const char*> outputs;
  for (const Job& job : jobs) {
    const auto [known, fresh] = outputs.emplace(job.outfile, job.infile);
    if (!fresh)
      io::fail(io::kExitBadArguments, "Files %s and %s would both be written to %s\n", known->second, job.infile,
               job.outfile.c_str());
    struct stat st;
    if (stat(job.outfile.c_str(), &st) != 0) continue;
    if (const auto input = inputs.find({st.st_dev, st.st_ino}); input != inputs.end())
      io::fail(io::kExitBadArguments, "Output %s would overwrite the input %s\n", job.outfile.c_str(), input->second);
  }
}

// Like mkdir -p.
void make_directory(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0777);
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    io::fail(io::kExitCannotOpen, "Can't create directory %s\n", dir.c_str());
}

int cpu_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// What standard error shows: the failures (and with --verbose, every file)
// in the order given, a progress line on a terminal, the summary.
class Report {
 public:
  explicit Report(std::vector<Job>& jobs) : jobs_(jobs), on_terminal_(isatty(STDERR_FILENO)) {}

  // A job has ended: say what can be said in order.
  void ended(const Job& job) {
    ++ended_;
    if (job.status != 0) ++failed_;
    std::string text = on_terminal_ ? "\r\033[K" : "";
    for (; next_ < jobs_.size() && jobs_[next_].status >= 0; ++next_) text += each_line(std::string(jobs_[next_].infile) + ": ", jobs_[next_].message);
    if (on_terminal_)
      text += with_thousands(ended_) + " of " + with_thousands(jobs_.size()) + " files, " + with_thousands(failed_) +
              " failed";
    write_all(STDERR_FILENO, text);
  }

  // On success a batch is quiet, unless asked or watched.
  void summary(bool verbose) const {
    if (!on_terminal_ && !verbose && failed_ == 0) return;
    const size_t retuned = jobs_.size() - failed_;
    write_all(STDERR_FILENO, std::string(on_terminal_ ? "\r\033[K" : "") + "retuned " + with_thousands(retuned) +
                                 (retuned == 1 ? " file, " : " files, ") + with_thousands(failed_) + " failed\n");
  }

 private:
  std::vector<Job>& jobs_;
  const bool on_terminal_;
  size_t next_ = 0;  // the first job not yet reported
  size_t ended_ = 0;
  size_t failed_ = 0;
};

class Workers {
 public:
  Workers(const Options& options, const KeyTable& table) : options_(options), table_(table) {}

  size_t running() const { return running_.size(); }

  // Starts `job` in a worker process, or where none can start, runs it here.
  void start(Job& job) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return run(job);
    const pid_t pid = start_worker();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
      return run(job);
    }
    if (pid == 0) {
      close(fds[0]);
      run(job);
      write_all(fds[1], job.message);
      _exit(job.status);
    }
    close(fds[1]);
    running_.push_back({pid, fds[0], &job});
  }

  // Waits for a worker to end; returns its job.
  Job& wait_one() {
    int wstatus = 0;
    auto worker = running_.end();
    while (worker == running_.end()) {
      const pid_t pid = waitpid(-1, &wstatus, 0);
      if (pid < 0 && errno != EINTR) io::fail(io::kExitIoError, "Can't wait for the worker processes: %s\n", strerror(errno));
      worker = std::find_if(running_.begin(), running_.end(), [&](const Worker& w) { return w.pid == pid; });
    }
    worker_ended(worker->pid);
    Job& job = *worker->job;
    job.message = read_all(worker->pipe);
    close(worker->pipe);
    running_.erase(worker);
    if (WIFEXITED(wstatus)) {
      job.status = WEXITSTATUS(wstatus);
    } else {
      const int signal_number = WTERMSIG(wstatus);
      job.status = 128 + signal_number;
      job.message = "ended by signal " + std::to_string(signal_number) + " (" + strsignal(signal_number) + ")\n";
    }
    return job;
  }

 private:
  struct Worker {
    pid_t pid;
    int pipe;  // what the worker says comes through here
    Job* job;
  };

  void run(Job& job) const {
    try {
      const FileReport report = retune_file(job.infile, job.outfile.c_str(), options_.method, [this] { return table_; });
      job.status = 0;
      job.message = warnings(report);
      if (options_.verbose) job.message += verbose_report(report, options_.method);
    } catch (const io::Failure& failure) {
      job.status = failure.status();
      job.message = failure.message();
    } catch (const std::exception& error) {
      job.status = io::kExitIoError;
      job.message = system_failure(error);
    }
  }

  const Options& options_;
  const KeyTable& table_;
  std::vector<Worker> running_;
};

}  // namespace


int run_batch(const Options& options) {
  const KeyTable table = playable_tuning(options.tuning, options.method);
  std::vector<Job> jobs = plan(options);
  check_outputs(jobs, options.in_place);
  if (options.output_dir) make_directory(options.output_dir);

  signal(SIGCHLD, SIG_DFL);  // an inherited SIG_IGN would reap the workers unseen
  const size_t width = std::min<size_t>(jobs.size(), static_cast<size_t>(options.jobs ? options.jobs : cpu_count()));
  Workers workers(options, table);
  Report report(jobs);
  size_t next = 0;
  while (next < jobs.size() || workers.running() > 0) {
    if (next < jobs.size() && workers.running() < width) {
      Job& job = jobs[next++];
      workers.start(job);
      if (job.status >= 0) report.ended(job);  // it ran here
      continue;
    }
    report.ended(workers.wait_one());
  }
  report.summary(options.verbose);
  for (const Job& job : jobs)
    if (job.status != 0) return job.status;
  return io::kExitSuccess;
}

}  // namespace retune::driver
