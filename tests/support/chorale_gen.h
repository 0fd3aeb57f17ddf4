// Four-part chorales for the adaptive mode, the same for the same seed: phrases
// of functional harmony (tonic, subdominant and dominant chords, sevenths,
// first inversions) in a major or minor key that moves to related keys,
// each ending in a cadence; voices led by the smallest steps, with passing
// notes, suspensions before cadences and common tones held across the
// change of chord, on a 16th-note grid at 480 ticks per quarter, 80 bpm.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "smf_builder.h"
#include "smf_gen.h"

namespace smf_test {

struct ChoraleNote {
  uint64_t start = 0;
  uint64_t end = 0;
  int voice = 0;  // 0 soprano .. 3 bass
  int key = 0;
};

inline constexpr int kChoraleQuarter = 480;

namespace chorale_detail {

constexpr int kMajor[7] = {0, 2, 4, 5, 7, 9, 11};
constexpr int kMinor[7] = {0, 2, 3, 5, 7, 8, 11};  // harmonic: the dominant's leading tone
constexpr int kLow[4] = {60, 55, 48, 40};
constexpr int kHigh[4] = {79, 74, 67, 60};

struct Chord {
  std::vector<int> pcs;  // root first
  bool inverted = false;
};

inline int pc(int key) { return ((key % 12) + 12) % 12; }

// Degree 0-6 of the key as a triad, with its seventh when asked.
inline Chord chord_on(int tonic, bool minor, int degree, bool seventh) {
  const int* scale = minor ? kMinor : kMajor;
  Chord c;
  for (int step = 0; step < (seventh ? 4 : 3); ++step) c.pcs.push_back(pc(tonic + scale[(degree + 2 * step) % 7]));
  return c;
}

// The voicing nearest the last, each chord tone present (the fifth may go).
inline std::array<int, 4> voice(const Chord& chord, const std::array<int, 4>& last, Random& rng) {
  std::array<int, 4> best{};
  int best_cost = 1 << 30;
  const int bass_pc = chord.pcs[chord.inverted ? 1 : 0];
  std::vector<int> options[4];
  for (int v = 0; v < 4; ++v)
    for (int k = kLow[v]; k <= kHigh[v]; ++k)
      if ((v == 3 ? pc(k) == bass_pc : std::find(chord.pcs.begin(), chord.pcs.end(), pc(k)) != chord.pcs.end()) &&
          std::abs(k - last[v]) <= 7)
        options[v].push_back(k);
  for (int b : options[3])
    for (int t : options[2])
      for (int a : options[1])
        for (int s : options[0]) {
          if (!(s > a && a >= t && t > b) || s - a > 12 || a - t > 12) continue;
          bool has[4] = {};
          for (int k : {s, a, t, b})
            for (size_t i = 0; i < chord.pcs.size(); ++i) has[i] |= pc(k) == chord.pcs[i];
          if (!has[0] || !has[1] || (chord.pcs.size() == 4 && !has[3])) continue;
          int cost = std::abs(s - last[0]) + std::abs(a - last[1]) + std::abs(t - last[2]) + std::abs(b - last[3]) / 2;
          cost += static_cast<int>(rng.below(3));
          if (cost < best_cost) best_cost = cost, best = {s, a, t, b};
        }
  if (best_cost == 1 << 30) {  // nothing near: start afresh in the middle of each range
    std::array<int, 4> middle = {70, 62, 55, 48};
    return voice(chord, middle, rng);
  }
  return best;
}

}  // namespace chorale_detail

// The notes of a chorale of about `phrases` phrases.
inline std::vector<ChoraleNote> generate_chorale(uint64_t seed, int phrases = 8) {
  using namespace chorale_detail;
  Random rng(seed);
  const bool minor_home = rng.chance(35);
  const int home = static_cast<int>(rng.below(12));
  // The chords, each with its length in quarters.
  struct Step {
    Chord chord;
    int quarters;
    int tonic;
    bool minor;
  };
  std::vector<Step> steps;
  for (int phrase = 0; phrase < phrases; ++phrase) {
    int tonic = home;
    bool minor = minor_home;
    if (phrase > 0 && phrase < phrases - 1) {
      switch (rng.below(5)) {
        case 0: tonic = pc(home + 7), minor = false; break;         // the dominant
        case 1: tonic = pc(home + (minor_home ? 3 : 9)), minor = !minor_home; break;  // the relative
        case 2: tonic = pc(home + 5), minor = minor_home; break;    // the subdominant
        default: break;
      }
    }
    // Tonic, subdominant and dominant functions in turn, then a cadence.
    static const int kTonic[] = {0, 0, 5, 2}, kSub[] = {3, 1, 3, 5}, kDominant[] = {4, 4, 6};
    const int length = 5 + static_cast<int>(rng.below(4));
    int function = 0;
    for (int i = 0; i < length; ++i) {
      int degree = function == 0 ? kTonic[rng.below(4)] : function == 1 ? kSub[rng.below(4)] : kDominant[rng.below(3)];
      if (i == 0) degree = 0;
      if (minor && degree == 2) degree = 0;  // the augmented mediant stays out
      Chord chord = chord_on(tonic, minor, degree, (degree == 4 && rng.chance(40)) || (degree == 1 && rng.chance(25)));
      chord.inverted = degree != 6 && rng.chance(20);
      if (degree == 6) chord.inverted = true;
      if (function == 2 && rng.chance(25)) {  // the dominant's own dominant, or a diminished seventh
        chord.pcs = rng.chance(50) ? std::vector<int>{pc(tonic + 2), pc(tonic + 6), pc(tonic + 9), pc(tonic)}
                                   : std::vector<int>{pc(tonic + 11), pc(tonic + 2), pc(tonic + 5), pc(tonic + 8)};
        chord.inverted = false;
      }
      steps.push_back({chord, 1, tonic, minor});
      function = (function + (rng.chance(70) ? 1 : 0)) % 3;
    }
    const bool half = phrase < phrases - 1 && rng.chance(25);
    steps.push_back({chord_on(tonic, minor, 4, rng.chance(50)), 1, tonic, minor});
    if (!half) steps.push_back({chord_on(tonic, minor, phrase == phrases - 1 || rng.chance(75) ? 0 : 5, false), 2, tonic, minor});
    else steps.back().quarters = 2;
  }

  std::vector<ChoraleNote> notes;
  std::array<int, 4> last = {67, 62, 55, 48};
  std::array<int, 4> open{-1, -1, -1, -1};  // per voice, its sounding note
  uint64_t tick = 0;
  std::vector<std::array<int, 4>> voicings;
  for (const Step& step : steps) voicings.push_back(last = voice(step.chord, last, rng));
  for (size_t c = 0; c < steps.size(); ++c) {
    const uint64_t length = static_cast<uint64_t>(steps[c].quarters) * kChoraleQuarter;
    const bool has_next = c + 1 < steps.size();
    for (int v = 0; v < 4; ++v) {
      const int key = voicings[c][v];
      uint64_t start = tick;
      if (open[v] >= 0 && notes[open[v]].key == key && notes[open[v]].end == tick &&
          notes[open[v]].start + length >= tick && rng.chance(40)) {
        notes[open[v]].end = tick + length;  // a common tone held over
        continue;
      }
      if (open[v] >= 0 && notes[open[v]].end > tick) start = notes[open[v]].end;  // after a suspension
      notes.push_back({start, tick + length, v, key});
      open[v] = static_cast<int>(notes.size() - 1);
      if (!has_next || v == 3 || steps[c].quarters != 1 || start != tick) continue;
      const int next = voicings[c + 1][v];
      const int leap = next - key;
      const int* scale = steps[c].minor ? kMinor : kMajor;
      auto in_scale = [&](int k) {
        for (int i = 0; i < 7; ++i)
          if (pc(k) == pc(steps[c].tonic + scale[i])) return true;
        return false;
      };
      if (std::abs(leap) >= 3 && std::abs(leap) <= 4 && rng.chance(45)) {  // a passing note on the off-beat
        const int dir = leap > 0 ? 1 : -1;
        int passing = key + dir;
        while (!in_scale(passing) && passing != next) passing += dir;
        if (passing != next) {
          notes.back().end = tick + length / 2;
          notes.push_back({tick + length / 2, tick + length, v, passing});
          open[v] = static_cast<int>(notes.size() - 1);
        }
      } else if (leap == 0 && v == 0 && rng.chance(15)) {  // sixteenths: an upper neighbour and back
        int upper = key + 1;
        while (!in_scale(upper)) ++upper;
        notes.back().end = tick + length / 2;
        notes.push_back({tick + length / 2, tick + 3 * length / 4, v, upper});
        notes.push_back({tick + 3 * length / 4, tick + length, v, key});
        open[v] = static_cast<int>(notes.size() - 1);
      } else if ((leap == -1 || leap == -2) && v < 2 && c + 2 < steps.size() && rng.chance(30)) {
        notes.back().end = tick + length + length / 2;  // a suspension, resolved on the next off-beat
      }
    }
    tick += length;
  }
  std::stable_sort(notes.begin(), notes.end(), [](const ChoraleNote& a, const ChoraleNote& b) { return a.start < b.start; });
  return notes;
}

// The chorale as a file: with `voices`, voice v on channel v + 1 in a track of
// its own; else every voice on channel 1, a key sounding in two voices one note.
inline std::string chorale_file(std::vector<ChoraleNote> notes, bool voices) {
  if (!voices) {
    std::sort(notes.begin(), notes.end(),
              [](const ChoraleNote& a, const ChoraleNote& b) { return std::tie(a.key, a.start) < std::tie(b.key, b.start); });
    std::vector<ChoraleNote> merged;
    for (ChoraleNote n : notes) {
      n.voice = 0;
      if (!merged.empty() && merged.back().key == n.key && n.start < merged.back().end)
        merged.back().end = std::max(merged.back().end, n.end);
      else
        merged.push_back(n);
    }
    notes = std::move(merged);
  }
  const int tracks = voices ? 4 : 1;
  std::vector<std::string> bodies = {hex("00 FF 51 03 0B 71 B0") + hex("00 FF 2F 00")};
  for (int t = 0; t < tracks; ++t) {
    std::multimap<uint64_t, std::string> events;  // note-offs before note-ons at a tick
    events.insert({0, std::string{static_cast<char>(0xC0 | t), static_cast<char>(voices ? 52 : 19)}});
    for (const ChoraleNote& n : notes)
      if (n.voice == t || !voices) {
        events.insert({2 * n.end, std::string{static_cast<char>(0x80 | t), static_cast<char>(n.key), 64}});
        events.insert({2 * n.start + 1, std::string{static_cast<char>(0x90 | t), static_cast<char>(n.key), 80}});
      }
    std::string body;
    uint64_t last = 0;
    for (const auto& [when, bytes] : events) {
      body += vlq(static_cast<uint32_t>(when / 2 - last)) + bytes;
      last = when / 2;
    }
    bodies.push_back(body + hex("00 FF 2F 00"));
  }
  std::string file = header(1, static_cast<uint16_t>(bodies.size()), kChoraleQuarter);
  for (const std::string& body : bodies) file += track(body);
  return file;
}

}  // namespace smf_test
