// A seeded generator of realistic Standard MIDI Files: format 1, a tempo
// track, then note tracks with note-on/note-off pairs (half of them written
// with running status and velocity-0 note-offs), controllers, program
// changes, pitch bends, long text meta events and long sysex messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smf_builder.h"

namespace smf_test {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  uint64_t state_;
};

struct GenOptions {
  uint64_t seed = 1;
  size_t target_bytes = 4096;  // roughly, over all tracks
  int note_tracks = 15;
};

inline std::string generate_note_track(Random& rng, int channel, size_t target, bool running) {
  std::string t;
  const char ch = static_cast<char>(channel);
  t += vlq(0) + std::string{static_cast<char>(0xC0 | ch), static_cast<char>(rng.below(128))};
  t += vlq(0) + std::string{static_cast<char>(0xB0 | ch), 7, static_cast<char>(rng.below(128))};
  uint8_t last_status = 0;
  auto status = [&](uint8_t s) {
    if (running && s == last_status) return std::string();
    last_status = s;
    return std::string(1, static_cast<char>(s));
  };
  while (t.size() < target) {
    const uint32_t roll = rng.below(1000);
    if (roll < 5) {  // a long text meta event
      const uint32_t len = 100 + rng.below(300);
      t += vlq(rng.below(50)) + "\xFF\x01" + vlq(len) + std::string(len, static_cast<char>('a' + rng.below(26)));
      last_status = 0xFF;
    } else if (roll < 8) {  // a long sysex dump
      const uint32_t len = 120 + rng.below(2000);
      std::string body(len - 1, 0);
      for (auto& c : body) c = static_cast<char>(rng.below(128));
      t += vlq(rng.below(50)) + "\xF0" + vlq(len) + body + "\xF7";
      last_status = 0xF0;
    } else if (roll < 60) {
      t += vlq(rng.below(20)) + status(static_cast<uint8_t>(0xB0 | channel)) +
           std::string{static_cast<char>(rng.below(120)), static_cast<char>(rng.below(128))};
    } else if (roll < 90) {
      t += vlq(rng.below(20)) + status(static_cast<uint8_t>(0xE0 | channel)) +
           std::string{static_cast<char>(rng.below(128)), static_cast<char>(rng.below(128))};
    } else {
      const char note = static_cast<char>(24 + rng.below(80));
      t += vlq(rng.below(200)) + status(static_cast<uint8_t>(0x90 | channel)) +
           std::string{note, static_cast<char>(1 + rng.below(127))};
      if (running)
        t += vlq(1 + rng.below(2000)) + status(static_cast<uint8_t>(0x90 | channel)) + std::string{note, 0};
      else
        t += vlq(1 + rng.below(2000)) + status(static_cast<uint8_t>(0x80 | channel)) +
             std::string{note, static_cast<char>(rng.below(128))};
    }
  }
  return t + hex("00 FF 2F 00");
}

inline std::string generate_smf(const GenOptions& options) {
  Random rng(options.seed);
  std::vector<std::string> tracks;
  tracks.push_back(hex("00 FF 51 03 07 A1 20 00 FF 58 04 04 02 18 08 00 FF 03 05") + "Tempo" + hex("00 FF 2F 00"));
  const size_t per_track = options.target_bytes / static_cast<size_t>(options.note_tracks) + 1;
  for (int i = 0; i < options.note_tracks; ++i)
    tracks.push_back(generate_note_track(rng, i % 16, per_track, i % 2 == 1));
  return smf(tracks, 1);
}

}  // namespace smf_test
