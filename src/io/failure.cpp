#include "io/failure.h"

#include <cstdarg>
#include <cstdio>

namespace retune::io {

namespace {

std::string vformatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformatted(format, args);
  va_end(args);
  return text;
}

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformatted(format, args);
  va_end(args);
  throw Failure(status, std::move(message));
}

}  // namespace retune::io
