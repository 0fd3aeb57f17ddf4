// Words shared by the reports on standard error and standard output.
#pragma once

#include <cstdint>
#include <string>

namespace retune {

// "1 note", "2 notes".
inline std::string count(uint64_t n, const char* thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

// The numbers, 1 to 16, of the channels in a mask, `separator` between them.
inline std::string channel_numbers(uint16_t channels, const char* separator) {
  std::string text;
  for (int c = 0; c < 16; ++c)
    if (channels >> c & 1) {
      if (!text.empty()) text += separator;
      text += std::to_string(c + 1);
    }
  return text;
}

}  // namespace retune
