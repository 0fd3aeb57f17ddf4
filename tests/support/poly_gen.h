// Dense files for the polyphonic mode, the same for the same seed: format 1,
// a tempo track and a track per channel, all sixteen in use. The music comes
// in sections; in each, a few channels play chords of up to 12 notes (some
// legato, some ended by note-on with velocity 0), under the sustain pedal or
// not, with controller ramps, bend ramps of their own, polyphonic and channel
// aftertouch, program and bank changes, bend-range settings; channel 10
// drums throughout; now and then a GM reset. Every note ends before the next
// section, so no more than `max_sources` channels sound at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "smf_builder.h"
#include "smf_gen.h"

namespace smf_test {

struct DenseOptions {
  uint64_t seed = 1;
  size_t target_bytes = 20000;
  int max_sources = 3;  // channels playing at once, besides the drums
};

inline std::string generate_dense(const DenseOptions& options) {
  Random rng(options.seed);
  struct Timed {
    uint64_t tick;
    std::string bytes;  // without the delta time
  };
  std::vector<std::vector<Timed>> tracks(17);  // the section at hand
  std::vector<std::string> bodies(17);
  std::vector<uint64_t> last(17);
  size_t size = 0;
  auto put = [&](int track, uint64_t tick, std::string bytes) {
    size += bytes.size() + 1;  // most delta times take a byte
    tracks[track].push_back({tick, std::move(bytes)});
  };
  // Sections do not overlap in time: each is written out when it is made.
  auto flush = [&] {
    for (size_t t = 0; t < tracks.size(); ++t) {
      std::stable_sort(tracks[t].begin(), tracks[t].end(),
                       [](const Timed& a, const Timed& b) { return a.tick < b.tick; });
      for (const Timed& e : tracks[t]) {
        bodies[t] += vlq(static_cast<uint32_t>(e.tick - last[t])) + e.bytes;
        last[t] = e.tick;
      }
      tracks[t].clear();
    }
  };
  auto msg = [](int status, int a, int b = -1) {
    std::string m{static_cast<char>(status), static_cast<char>(a)};
    if (b >= 0) m += static_cast<char>(b);
    return m;
  };
  put(0, 0, hex("FF 51 03 07 A1 20"));
  put(0, 0, hex("F0 05 7E 7F 09 01 F7"));  // GM System On
  uint64_t tick = 0;
  while (size < options.target_bytes) {
    const uint64_t length = 480 + rng.below(4) * 480;
    if (tick > 0 && rng.chance(4)) put(0, tick, hex("F0 05 7E 7F 09 01 F7"));
    std::vector<int> active;
    const int count = 1 + static_cast<int>(rng.below(static_cast<uint32_t>(options.max_sources)));
    while (static_cast<int>(active.size()) < count) {
      const int c = static_cast<int>(rng.below(16));
      if (c != 9 && std::find(active.begin(), active.end(), c) == active.end()) active.push_back(c);
    }
    for (int c : active) {
      const int track = c + 1;
      if (rng.chance(20)) {
        put(track, tick, msg(0xB0 | c, 0, static_cast<int>(rng.below(2))));
        put(track, tick, msg(0xC0 | c, static_cast<int>(rng.below(128))));
      }
      if (rng.chance(10))  // bend range: 12 or 1 semitones
        for (auto [k, v] : {std::pair<int, int>{101, 0}, {100, 0}, {6, rng.chance(50) ? 12 : 1}, {38, 0}})
          put(track, tick, msg(0xB0 | c, k, v));
      const bool pedal = rng.chance(30);
      if (pedal) put(track, tick, msg(0xB0 | c, 64, 127));
      if (rng.chance(30)) {  // a controller ramp
        const int controller = std::vector<int>{1, 7, 10, 11}[rng.below(4)];
        for (uint64_t t = 0; t < length - 10; t += 40) put(track, tick + t, msg(0xB0 | c, controller, static_cast<int>(rng.below(128))));
      }
      if (rng.chance(35)) {  // a bend ramp of the file's own
        const int target = static_cast<int>(rng.below(16384));
        const int steps = 8 + static_cast<int>(rng.below(9));
        for (int i = 0; i <= steps; ++i) {
          const int v = 8192 + (target - 8192) * (i <= steps / 2 ? i : steps - i) / (steps / 2);
          put(track, tick + static_cast<uint64_t>(i) * (length - 20) / static_cast<uint64_t>(steps), msg(0xE0 | c, v & 0x7F, v >> 7));
        }
      }
      if (rng.chance(15)) put(track, tick + length / 3, msg(0xD0 | c, static_cast<int>(rng.below(128))));
      // Chords, one after the other, overlapping a little now and then.
      uint64_t t = tick;
      const bool zero_offs = rng.chance(50);
      while (t + 60 < tick + length - 2) {
        const int notes = 1 + static_cast<int>(rng.below(12));
        const uint64_t end = std::min(tick + length - 2, t + 60 + rng.below(400));
        std::vector<int> keys;
        while (static_cast<int>(keys.size()) < notes) {
          const int k = 36 + static_cast<int>(rng.below(60));
          if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
        }
        for (int k : keys) put(track, t, msg(0x90 | c, k, 1 + static_cast<int>(rng.below(127))));
        if (rng.chance(25)) put(track, (t + end) / 2, msg(0xA0 | c, keys[0], static_cast<int>(rng.below(128))));
        if (pedal && rng.chance(20)) {  // pedal lifted and put down again
          put(track, (t + end) / 2, msg(0xB0 | c, 64, 0));
          put(track, (t + end) / 2 + 1, msg(0xB0 | c, 64, 100));
        }
        for (int k : keys) put(track, end, zero_offs ? msg(0x90 | c, k, 0) : msg(0x80 | c, k, 64));
        t = rng.chance(30) ? end - std::min<uint64_t>(end - t, 20) : end;  // legato: the next starts before
      }
      if (pedal) put(track, tick + length - 1, msg(0xB0 | c, 64, 0));
    }
    for (uint64_t t = tick; t < tick + length; t += 120) {  // drums on channel 10
      const int k = 35 + static_cast<int>(rng.below(12));
      put(10, t, msg(0x99, k, 100));
      put(10, t + 60, msg(0x89, k, 0));
    }
    tick += length;
    flush();
  }
  for (std::string& body : bodies) body += vlq(0) + hex("FF 2F 00");
  return smf(bodies, 1);
}

}  // namespace smf_test
