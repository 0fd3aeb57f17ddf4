#include "driver/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
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

// The whole of `size` bytes to a worker or from one; false when it or the
// parent has gone.
bool send_all(int socket, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(socket, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool receive_all(int socket, void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = recv(socket, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
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

// A few long-lived worker processes, each retuning one file at a time as the
// parent hands them out, so that a batch pays for a process per worker, not
// per file. A worker that dies takes only its file with it: the file fails,
// and the next file gets a new worker.
class Workers {
 public:
  Workers(const Options& options, const KeyTable& table, std::vector<Job>& jobs, size_t width)
      : options_(options), table_(table), jobs_(jobs), width_(width) {}
  ~Workers() {
    for (const Worker& worker : workers_) close(worker.socket);
    for (const Worker& worker : workers_) reap(worker.pid);
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  size_t running() const {
    return static_cast<size_t>(std::count_if(workers_.begin(), workers_.end(), [](const Worker& w) { return w.job; }));
  }

  // Gives `job` to an idle worker, starting one if need be; where none can
  // start, runs it here.
  void start(Job& job) {
    for (;;) {
      auto worker = std::find_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.job; });
      if (worker == workers_.end()) {
        if (workers_.size() >= width_ || !start_worker_process()) return run(job);
        worker = workers_.end() - 1;
      }
      const auto index = static_cast<uint32_t>(&job - jobs_.data());
      if (send_all(worker->socket, &index, sizeof index)) {
        worker->job = &job;
        return;
      }
      // It died between files: nothing of it to report.
      retire(worker);
    }
  }

  // Waits for a worker to end its job; returns the job.
  Job& wait_one() {
    for (;;) {
      std::vector<pollfd> busy;
      for (const Worker& worker : workers_)
        if (worker.job) busy.push_back({worker.socket, POLLIN, 0});
      if (poll(busy.data(), busy.size(), -1) < 0) {
        if (errno == EINTR) continue;
        io::fail(io::kExitIoError, "Can't wait for the worker processes: %s\n", strerror(errno));
      }
      for (const pollfd& ready : busy) {
        if (!ready.revents) continue;
        const auto worker =
            std::find_if(workers_.begin(), workers_.end(), [&](const Worker& w) { return w.socket == ready.fd; });
        if (Job* job = hear(*worker)) return *job;
      }
    }
  }

 private:
  struct Worker {
    pid_t pid;
    int socket;           // the parent's end
    Job* job = nullptr;   // the job it runs; null while idle
    std::string answer;   // what it has said of that job so far
  };

  // An answer: the status, the message's length, the message.
  struct AnswerHead {
    int32_t status;
    uint32_t length;
  };

  bool start_worker_process() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const pid_t pid = start_worker();
    if (pid == 0) {
      close(ends[0]);
      for (const Worker& other : workers_) close(other.socket);
      serve(ends[1]);
    }
    close(ends[1]);
    if (pid < 0) {
      close(ends[0]);
      return false;
    }
    workers_.push_back({pid, ends[0], nullptr, {}});
    return true;
  }

  // The worker's life: a job's index in, its status and message out, until
  // the parent hangs up.
  [[noreturn]] void serve(int socket) {
    for (uint32_t index; receive_all(socket, &index, sizeof index);) {
      Job& job = jobs_[index];
      run(job);
      const AnswerHead head{job.status, static_cast<uint32_t>(job.message.size())};
      if (!send_all(socket, &head, sizeof head) || !send_all(socket, job.message.data(), job.message.size()))
        break;
    }
    _exit(io::kExitSuccess);
  }

  // Reads what the worker has to say; returns its job once it is over, by
  // the worker's answer or by its death.
  Job* hear(Worker& worker) {
    char buffer[4096];
    const ssize_t n = recv(worker.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return nullptr;
    Job& job = *worker.job;
    if (n <= 0) {
      const int wstatus = retire(workers_.begin() + (&worker - workers_.data()));
      if (WIFEXITED(wstatus)) {
        job.status = WEXITSTATUS(wstatus) ? WEXITSTATUS(wstatus) : io::kExitIoError;
        job.message.clear();
      } else {
        const int signal_number = WTERMSIG(wstatus);
        job.status = 128 + signal_number;
        job.message = "ended by signal " + std::to_string(signal_number) + " (" + strsignal(signal_number) + ")\n";
      }
      return &job;
    }
    worker.answer.append(buffer, static_cast<size_t>(n));
    AnswerHead head;
    if (worker.answer.size() < sizeof head) return nullptr;
    std::memcpy(&head, worker.answer.data(), sizeof head);
    if (worker.answer.size() < sizeof head + head.length) return nullptr;
    job.status = head.status;
    job.message = worker.answer.substr(sizeof head, head.length);
    worker.answer.clear();
    worker.job = nullptr;
    return &job;
  }

  // Ends a worker's part in the batch; returns how it ended.
  int retire(std::vector<Worker>::iterator worker) {
    close(worker->socket);
    const int wstatus = reap(worker->pid);
    workers_.erase(worker);
    return wstatus;
  }

  // Waits for a worker that has ended or is about to (its socket is
  // closed); returns how it ended.
  static int reap(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    worker_ended(pid);
    return wstatus;
  }

  void run(Job& job) const {
    try {
      const FileReport report = retune_file(job.infile, job.outfile.c_str(), options_.method, [this] { return table_; },
                                              false, options_.verbose);
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
  std::vector<Job>& jobs_;
  const size_t width_;
  std::vector<Worker> workers_;
};

}  // namespace


int run_batch(const Options& options) {
  const KeyTable table = playable_tuning(options.tuning, options.method);
  std::vector<Job> jobs = plan(options);
  check_outputs(jobs, options.in_place);
  if (options.output_dir) make_directory(options.output_dir);

  signal(SIGCHLD, SIG_DFL);  // an inherited SIG_IGN would reap the workers unseen
  const size_t width = std::min<size_t>(jobs.size(), static_cast<size_t>(options.jobs ? options.jobs : cpu_count()));
  Workers workers(options, table, jobs, width);
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
