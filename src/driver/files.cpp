#include "driver/files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "io/failure.h"

namespace retune::driver {

using io::fail;

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The temporary output file's name, for the signal handler.
char pending_temp[PATH_MAX + 32];
volatile sig_atomic_t have_pending_temp = 0;

extern "C" void remove_temp_and_die(int signal_number) {
  if (have_pending_temp) unlink(pending_temp);
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

ScratchFile::ScratchFile() {
  char name[sizeof kTemplate];
  std::memcpy(name, kTemplate, sizeof kTemplate);
  fd_ = mkstemp(name);
  if (fd_ < 0) fail(io::kExitCannotOpen, "Can't open tempfile %s for writing\n", kTemplate);
  unlink(name);  // the open descriptor is all the run needs
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
  fd_ = -1;
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
  std::string temp = target_ + ".retune-XXXXXX";
  {
    SignalsHeld held;
    fd_ = mkostemp(temp.data(), O_CLOEXEC);
    if (fd_ < 0 || temp.size() >= sizeof pending_temp)
      fail(io::kExitCannotOpen, "Can't open file %s for writing\n", path);
    temp_ = temp;
    std::memcpy(pending_temp, temp.c_str(), temp.size() + 1);
    have_pending_temp = 1;
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

void OutputFile::abandon() {
  SignalsHeld held;
  unlink(temp_.c_str());
  temp_.clear();
  have_pending_temp = 0;
}

void OutputFile::commit() {
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) fail(io::kExitIoError, "File write error\n");
  if (temp_.empty()) return;
  SignalsHeld held;
  if (rename(temp_.c_str(), target_.c_str()) != 0) fail(io::kExitIoError, "File write error\n");
  temp_.clear();
  have_pending_temp = 0;
}

}  // namespace retune::driver
