// The run's files. The scratch file is private to the run and has no name on
// disk. A named outfile is written beside its target, unnamed where the
// system allows, and is given a temporary name and renamed over the target
// only when the run succeeds. Neither is ever left behind, not even when the
// run is interrupted by a signal.
#pragma once

#include <sys/types.h>

#include <string>

namespace retune::driver {

// Removes the run's temporary output file, ends the worker processes and
// waits for them, then dies of the signal as usual.
void install_signal_cleanup();

// Worker processes, each retuning files of its own. A cleanup signal that
// reaches this process is passed on to them, so that each removes its own
// temporary output before this process ends.
inline constexpr int kMaxWorkers = 256;
// Its process id in this process, 0 in the worker, -1 when none can start.
pid_t start_worker();
// The worker has ended and has been waited for.
void worker_ended(pid_t pid);

class ScratchFile {
 public:
  static constexpr char kTemplate[] = "xxxx4339.tmp.XXXXXX";

  // In the current directory, or else in $TMPDIR (or /tmp).
  ScratchFile();
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fd_; }
  // Makes the scratch file readable from its start.
  void rewind();

 private:
  int fd_;
};

class InputFile {
 public:
  // `path`, or standard input when it is null.
  explicit InputFile(const char* path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
};

class OutputFile {
 public:
  // `path`, or standard output when it is null. A name for an open descriptor
  // (/dev/stdout, /dev/fd/N, ...) is written through that descriptor as it
  // is; a regular file (existing or new) is replaced atomically; anything
  // else that can be written (a device, a FIFO) is written directly.
  explicit OutputFile(const char* path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }
  // A new regular file of ours, written from its start: one that may be patched.
  bool fresh() const { return owned_ && (unnamed_ || !temp_.empty()); }
  // The output is complete: close it and put it in place.
  void commit();

 private:
  void abandon();
  void name_unnamed();
  // The temporary name, kept for the signal handler too; held signals only.
  void remember_temp(const std::string& temp);
  void forget_temp();

  int fd_;
  bool owned_ = false;   // fd_ is ours to close
  bool unnamed_ = false; // fd_ has no name yet
  std::string temp_;     // the temporary name, while there is one
  std::string target_;   // what it replaces
};

}  // namespace retune::driver
