// Building Standard MIDI File bytes by hand in tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace smf_test {

// "90 3C 40" -> the three bytes; blanks and '|' are separators.
inline std::string hex(std::string_view text) {
  std::string bytes;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c == ' ' || c == '|' || c == '\n') continue;
    else throw std::invalid_argument("bad hex text");
    value = value * 16 + static_cast<unsigned>(digit);
    if (++nibbles == 2) {
      bytes.push_back(static_cast<char>(value));
      nibbles = 0;
      value = 0;
    }
  }
  if (nibbles) throw std::invalid_argument("odd hex text");
  return bytes;
}

inline std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

inline std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
inline std::string be16(uint32_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }

inline std::string vlq(uint32_t v) {
  std::string out(1, static_cast<char>(v & 0x7F));
  while (v >>= 7) out.insert(out.begin(), static_cast<char>(0x80 | (v & 0x7F)));
  return out;
}

inline std::string header(uint16_t format, uint16_t ntracks, uint16_t division = 96) {
  return "MThd" + be32(6) + be16(format) + be16(ntracks) + be16(division);
}

inline std::string track(std::string_view events) { return "MTrk" + be32(static_cast<uint32_t>(events.size())) + std::string(events); }
inline std::string track_declared(std::string_view events, uint32_t declared) { return "MTrk" + be32(declared) + std::string(events); }

// A whole file from track bodies.
inline std::string smf(const std::vector<std::string>& tracks, uint16_t format = 1) {
  std::string file = header(format, static_cast<uint16_t>(tracks.size()));
  for (const auto& t : tracks) file += track(t);
  return file;
}

}  // namespace smf_test
