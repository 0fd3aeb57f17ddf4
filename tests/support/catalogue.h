// Every message retune may end a run with, and its exit status.
#pragma once

#include <regex>
#include <string>

namespace smf_test {

inline bool is_catalogued(const std::string& message, int status) {
  static const struct {
    std::regex text;
    int status;
  } rows[] = {
      {std::regex("File write error\n"), 255},
      {std::regex("File format error: EOF encountered\n"), 255},
      {std::regex("MIDI track header incorrect\n"), 2},
      {std::regex("MIDI track header size incorrect\n"), 2},
      {std::regex("Too many tracks in MIDI file, maximum is 1024\n"), 3},
      {std::regex("MIDI track chunk header incorrect in track [0-9]+\n"), 2},
      {std::regex("Error in delta time encoding\n"), 3},
      {std::regex("No running MIDI command defined\n"), 3},
      {std::regex("MIDI track [0-9]+ too long after retuning, maximum is 4294967295 bytes\n"), 3},
  };
  for (const auto& row : rows)
    if (std::regex_match(message, row.text)) return status == row.status;
  return false;
}

}  // namespace smf_test
