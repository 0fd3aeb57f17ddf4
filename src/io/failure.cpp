#include "io/failure.h"

#include <cstdarg>
#include <cstdio>

namespace retune::io {

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string message(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  std::vsnprintf(message.data(), message.size() + 1, format, again);
  va_end(again);
  throw Failure(status, std::move(message));
}

}  // namespace retune::io
