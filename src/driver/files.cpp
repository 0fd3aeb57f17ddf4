#include "driver/files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "io/byte_io.h"

namespace retune::driver {

using io::fail;

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The temporary output file's name, for the signal handler.
char pending_temp[PATH_MAX + 32];
volatile sig_atomic_t have_pending_temp = 0;

// The running workers; 0 marks a free slot.
volatile pid_t workers[kMaxWorkers];

extern "C" void remove_temp_and_die(int signal_number) {
  if (have_pending_temp) unlink(pending_temp);
  for (int i = 0; i < kMaxWorkers; ++i)
    if (workers[i] > 0) kill(workers[i], signal_number);
  for (int i = 0; i < kMaxWorkers; ++i)
    if (workers[i] > 0) waitpid(workers[i], nullptr, 0);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  raise(signal_number);
}

// Holds off the cleanup signals while the temporary file and its record
// change together.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links, so that the file a link points to is replaced and
// the link stays. A dangling link leads to the file it names.
std::string resolve_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) return path;
    std::string next(target.data(), static_cast<size_t>(n));
    path = next.front() == '/' ? next : directory_of(path) + "/" + next;
  }
  return path;
}

// The descriptor that `path` names when it is a name for one of this
// process's open descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N), or -1.
int named_descriptor(std::string_view path) {
  int fd = -1;
  if (path == "/dev/stdin") fd = STDIN_FILENO;
  if (path == "/dev/stdout") fd = STDOUT_FILENO;
  if (path == "/dev/stderr") fd = STDERR_FILENO;
  for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (!path.starts_with(prefix) || path.size() == prefix.size()) continue;
    const char* end = path.data() + path.size();
    const auto [stop, error] = std::from_chars(path.data() + prefix.size(), end, fd);
    if (error != std::errc() || stop != end) fd = -1;
  }
  return fd >= 0 && fcntl(fd, F_GETFL) >= 0 ? fd : -1;
}

// An unnamed file in `dir` to write and read back: O_TMPFILE where the file
// system has it, else a named one that loses its name at once.
int open_unnamed_in(const std::string& dir) {
#ifdef O_TMPFILE
  const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string name = dir + "/" + ScratchFile::kTemplate;
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

// Six characters for a temporary name that nothing else is likely to use.
std::string unique_suffix() {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state = static_cast<uint64_t>(getpid()) << 32;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t z = (state += 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(now.tv_nsec));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  std::string suffix;
  for (int i = 0; i < 6; ++i, z /= 62) suffix += kAlphabet[z % 62];
  return suffix;
}

mode_t creation_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void install_signal_cleanup() {
  struct sigaction action {};
  action.sa_handler = remove_temp_and_die;
  sigemptyset(&action.sa_mask);
  for (int s : kCleanupSignals) sigaction(s, &action, nullptr);
  // A file-size limit is a write error, not a reason to die mid-write.
  signal(SIGXFSZ, SIG_IGN);
}

pid_t start_worker() {
  SignalsHeld held;  // in both processes until the records are right
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0; i < kMaxWorkers; ++i) workers[i] = 0;
    // A batch killed outright takes its workers with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) raise(SIGTERM);
  } else if (pid > 0) {
    for (int i = 0; i < kMaxWorkers; ++i)
      if (workers[i] == 0) {
        workers[i] = pid;
        break;
      }
  }
  return pid;
}

void worker_ended(pid_t pid) {
  SignalsHeld held;
  for (int i = 0; i < kMaxWorkers; ++i)
    if (workers[i] == pid) workers[i] = 0;
}

ScratchFile::ScratchFile() {
  fd_ = open_unnamed_in(".");
  if (fd_ >= 0) return;
  const char* tmpdir = std::getenv("TMPDIR");
  fd_ = open_unnamed_in(tmpdir && *tmpdir ? tmpdir : "/tmp");
  if (fd_ < 0) fail(io::kExitCannotOpen, "Can't open tempfile %s for writing\n", kTemplate);
}

ScratchFile::~ScratchFile() { close(fd_); }

void ScratchFile::rewind() {
  if (lseek(fd_, 0, SEEK_SET) != 0) fail(io::kExitCannotOpen, "Can't open tempfile %s for reading\n", kTemplate);
}

InputFile::InputFile(const char* path) : fd_(STDIN_FILENO) {
  if (!path) return;
  fd_ = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ >= 0 && fstat(fd_, &st) == 0 && !S_ISDIR(st.st_mode)) return;
  if (fd_ >= 0) close(fd_);
  fail(io::kExitCannotOpen, "Can't open file %s for reading\n", path);
}

InputFile::~InputFile() {
  if (fd_ != STDIN_FILENO) close(fd_);
}

OutputFile::OutputFile(const char* path) : fd_(STDOUT_FILENO) {
  if (!path) return;
  fd_ = named_descriptor(path);
  if (fd_ >= 0) {
    if ((fcntl(fd_, F_GETFL) & O_ACCMODE) == O_RDONLY) fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
    return;
  }
  if (*path == '\0') fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
  owned_ = true;
  target_ = resolve_links(path);
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    fd_ = S_ISDIR(st.st_mode) ? -1 : open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ < 0) fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
    return;
  }
  if (exists) {  // may it be written? Opening it for writing changes nothing yet.
    const int probe = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
    close(probe);
  }
#ifdef O_TMPFILE
  // Unnamed until complete, so that not even SIGKILL leaves it behind; it is
  // named later through /proc.
  if (access("/proc/self/fd", X_OK) == 0)
    fd_ = open(directory_of(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  unnamed_ = fd_ >= 0;
#endif
  if (!unnamed_) {
    std::string temp = target_ + ".retune-XXXXXX";
    SignalsHeld held;
    fd_ = mkostemp(temp.data(), O_CLOEXEC);
    // The file is written beside its target and renamed over it: the
    // directory, not the file, may be what refuses.
    if (fd_ < 0 && (errno == EACCES || errno == EROFS))
      fail(io::kExitCannotOpen, "Can't write file %s: its directory %s refuses the new file (%s)\n", path,
           directory_of(target_).c_str(), strerror(errno));
    if (fd_ < 0 || temp.size() >= sizeof pending_temp)
      fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
    remember_temp(temp);
  }
  if (exists) {
    fchmod(fd_, st.st_mode & 07777);
    if (fchown(fd_, st.st_uid, st.st_gid) != 0) fchmod(fd_, st.st_mode & 0777);
  } else {
    fchmod(fd_, creation_mode());
  }
}

OutputFile::~OutputFile() {
  if (!temp_.empty()) abandon();
  if (owned_ && fd_ >= 0) close(fd_);
}

void OutputFile::remember_temp(const std::string& temp) {
  temp_ = temp;
  std::memcpy(pending_temp, temp.c_str(), temp.size() + 1);
  have_pending_temp = 1;
}

void OutputFile::forget_temp() {
  temp_.clear();
  have_pending_temp = 0;
}

void OutputFile::abandon() {
  SignalsHeld held;
  unlink(temp_.c_str());
  forget_temp();
}

// Links the complete unnamed output under a fresh temporary name beside its
// target, ready for the rename.
void OutputFile::name_unnamed() {
  char fd_path[32];
  std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd_);
  SignalsHeld held;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = target_ + ".retune-" + unique_suffix();
    if (temp.size() >= sizeof pending_temp) break;
    if (linkat(AT_FDCWD, fd_path, AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      remember_temp(temp);
      unnamed_ = false;
      return;
    }
    if (errno != EEXIST) break;
  }
  fail(io::kExitIoError, io::kWriteErrorMessage);
}

void OutputFile::commit() {
  if (!owned_) return;
  if (unnamed_) name_unnamed();
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) fail(io::kExitIoError, io::kWriteErrorMessage);
  if (temp_.empty()) return;
  SignalsHeld held;
  if (rename(temp_.c_str(), target_.c_str()) != 0) fail(io::kExitIoError, io::kWriteErrorMessage);
  forget_temp();
}

}  // namespace retune::driver
