// How a retuned file sounds, read independently of the program: a note's
// pitch is its key plus the bend in force on its channel once every event at
// its start tick is done, in that channel's RPN 0 range, from its key's pitch
// as the latest MIDI Tuning Standard single note tuning change (real time)
// set it, else equal temperament. Over the pairs of
// notes that sound together, each counted once at the later onset: the share
// of consonances (interval classes 3, 4, 5, 7, 8, 9) within 2 cents of just;
// the drift of the pitch level from the first tenth of the piece to the last;
// the farthest a note strays from its key; the bends that change while a
// note of their channel sounds.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "poly_check.h"

namespace judge {

struct Sounded {
  uint64_t start = 0, end = 0;
  int key = 0;
  double pitch = 0;  // cents above key 0 of equal temperament
};

struct Verdict {
  std::string error;
  std::vector<Sounded> notes;  // in the order they start
  uint64_t pairs = 0, pure = 0;
  uint64_t octaves = 0, octaves_pure = 0;
  double drift = 0;
  double farthest = 0;
  uint64_t bends_under_notes = 0;

  double purity() const { return pairs ? static_cast<double>(pure) / static_cast<double>(pairs) : 1.0; }
};

inline bool just_cents(int interval_class, double& cents) {
  static const std::pair<int, double> kJust[] = {{7, 3.0 / 2}, {5, 4.0 / 3}, {4, 5.0 / 4},
                                                 {3, 6.0 / 5}, {9, 5.0 / 3}, {8, 8.0 / 5}};
  for (const auto& [c, ratio] : kJust)
    if (c == interval_class) return cents = 1200 * std::log2(ratio), true;
  return false;
}

inline Verdict judge(std::string_view bytes) {
  Verdict v;
  const poly_check::Smf smf = poly_check::read_smf(bytes);
  if (!smf.error.empty()) return v.error = smf.error, v;
  struct Timed {
    uint64_t tick;
    size_t order;
    const poly_check::Event* e;
  };
  std::vector<Timed> all;
  for (const auto& track : smf.tracks)
    for (const auto& e : track) all.push_back({e.tick, all.size(), &e});
  std::stable_sort(all.begin(), all.end(), [](const Timed& a, const Timed& b) { return a.tick < b.tick; });

  struct Channel {
    int bend = 8192;
    int rpn[2] = {127, 127};
    double range = 2;
    bool pedal = false;
    std::array<int, 128> open{};  // the note sounding on the key, +1
    std::vector<int> held;        // notes released under the pedal
  };
  std::array<Channel, 16> ch{};
  std::array<double, 128> key_pitch;
  for (int k = 0; k < 128; ++k) key_pitch[k] = 100.0 * k;
  std::vector<std::pair<int, int>> starting;  // channel, note: pitched when their tick is done
  auto finish = [&](int note, uint64_t tick) { v.notes[note].end = tick; };
  auto sounding = [&](const Channel& c, uint64_t tick) {
    for (int n : c.open)
      if (n && v.notes[n - 1].start < tick) return true;
    for (int n : c.held)
      if (v.notes[n].end == UINT64_MAX) return true;
    return false;
  };
  for (size_t i = 0; i <= all.size(); ++i) {
    if (i == all.size() || (i > 0 && all[i].tick != all[i - 1].tick))
      for (auto [c, n] : starting)
        v.notes[n].pitch = key_pitch[v.notes[n].key] + (ch[c].bend - 8192) / 8192.0 * ch[c].range * 100;
    if (i > 0 && i < all.size() && all[i].tick != all[i - 1].tick) starting.clear();
    if (i == all.size()) break;
    const poly_check::Event& e = *all[i].e;
    const std::string_view b = e.body;
    if (e.status == 0xF0 && b.size() >= 6 && b.substr(0, 4) == "\x7F\x7F\x08\x02") {
      const size_t count = static_cast<uint8_t>(b[5]);
      for (size_t k = 0; k < count && 6 + 4 * k + 3 < b.size(); ++k) {
        auto byte = [&](size_t at) { return static_cast<uint8_t>(b[6 + 4 * k + at]); };
        key_pitch[byte(0) & 0x7F] = 100.0 * byte(1) + 100.0 * (byte(2) << 7 | byte(3)) / 16384;
      }
    }
    if (!e.is_channel()) continue;
    Channel& c = ch[e.channel()];
    const uint64_t tick = all[i].tick;
    switch (e.kind()) {
      case 0x90:
        if (e.data[1] > 0) {
          if (c.open[e.data[0]]) finish(c.open[e.data[0]] - 1, tick);
          v.notes.push_back({tick, UINT64_MAX, e.data[0], 0});
          c.open[e.data[0]] = static_cast<int>(v.notes.size());
          starting.push_back({e.channel(), static_cast<int>(v.notes.size() - 1)});
          break;
        }
        [[fallthrough]];
      case 0x80:
        if (int n = c.open[e.data[0]]) {
          c.open[e.data[0]] = 0;
          if (c.pedal) c.held.push_back(n - 1);
          else finish(n - 1, tick);
        }
        break;
      case 0xE0: {
        const int bend = e.data[0] | e.data[1] << 7;
        if (bend != c.bend && sounding(c, tick)) ++v.bends_under_notes;
        c.bend = bend;
        break;
      }
      case 0xB0:
        if (e.data[0] == 101 || e.data[0] == 100) c.rpn[101 - e.data[0]] = e.data[1];
        if (c.rpn[0] == 0 && c.rpn[1] == 0 && e.data[0] == 6) c.range = e.data[1] + std::fmod(c.range, 1.0);
        if (c.rpn[0] == 0 && c.rpn[1] == 0 && e.data[0] == 38) c.range = std::floor(c.range) + e.data[1] / 100.0;
        if (e.data[0] == 64) {
          c.pedal = e.data[1] >= 64;
          if (!c.pedal) {
            for (int n : c.held) finish(n, tick);
            c.held.clear();
          }
        }
        break;
    }
  }
  uint64_t piece_end = 0;
  for (Sounded& n : v.notes) {
    if (n.end == UINT64_MAX) n.end = all.empty() ? n.start : all.back().tick;
    piece_end = std::max(piece_end, n.end);
  }
  for (size_t i = 0; i < v.notes.size(); ++i) {
    const Sounded& a = v.notes[i];
    v.farthest = std::max(v.farthest, std::fabs(a.pitch - 100.0 * a.key));
    for (size_t j = 0; j < i; ++j) {
      const Sounded& b = v.notes[j];
      if (!(b.start <= a.start && b.end > a.start && a.end > a.start)) continue;
      const double interval = std::fabs(a.pitch - b.pitch);
      const long semitones = std::lround(interval / 100);
      const double octaves = 1200.0 * static_cast<double>(semitones / 12);
      double just = 0;
      if (semitones % 12 == 0) {
        ++v.octaves;
        v.octaves_pure += std::fabs(interval - octaves) <= 2;
      } else if (just_cents(static_cast<int>(semitones % 12), just)) {
        ++v.pairs;
        v.pure += std::fabs(interval - octaves - just) <= 2;
      }
    }
  }
  const uint64_t first = v.notes.empty() ? 0 : v.notes.front().start;
  const double tenth = static_cast<double>(piece_end - first) / 10;
  double head = 0, tail = 0;
  int heads = 0, tails = 0;
  for (const Sounded& n : v.notes) {
    const double at = static_cast<double>(n.start - first);
    if (at < tenth) head += n.pitch - 100.0 * n.key, ++heads;
    if (at >= 9 * tenth) tail += n.pitch - 100.0 * n.key, ++tails;
  }
  if (heads && tails) v.drift = tail / tails - head / heads;
  return v;
}

}  // namespace judge
