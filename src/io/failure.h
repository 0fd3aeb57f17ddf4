// A run ends at the first failure: the failure carries its message and exit
// status up to the driver, which reports it, cleans up and exits.
#pragma once

#include <exception>
#include <string>

namespace retune::io {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitCannotOpen = 1,
  kExitBadChunk = 2,
  kExitBadTracks = 3,  // an unreadable event, too many tracks, a track too long
  kExitBadArguments = 4,
  kExitIoError = 255,  // also when the system runs out of memory
};

class Failure : public std::exception {
 public:
  Failure(int status, std::string message) : status_(status), message_(std::move(message)) {}
  int status() const noexcept { return status_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int status_;
  std::string message_;
};

// A printf-formatted string.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Throws a Failure with a printf-formatted message.
[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace retune::io
