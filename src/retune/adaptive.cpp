#include "retune/adaptive.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "channel/channel_model.h"
#include "smf/controllers.h"

namespace retune {

namespace {

using namespace smf::gm;

constexpr double kAnchor = 0.01;       // per note
constexpr double kLevelAnchor = 0.6;   // per window, on the mean of its notes' offsets
constexpr int kWindowQuarters = 8;
constexpr int kQuarterUnknown = 480;  // ticks, for files timed in SMPTE frames
constexpr double kThirdsWeight = 0.8;
constexpr double kBassFactor = 2.0;
constexpr double kSharedKeyWeight = 100.0;
constexpr int kMostPartners = 10;     // a note pairs with at most this many of the latest notes sounding
constexpr double kSpared = 1.5;       // cents: pairs about this far from just keep much of their weight
constexpr double kLeastWeight = 0.02;  // of a pair far off: enough that a wolf stays near a comma
constexpr int kRounds = 6;            // least squares, then rounds reweighted toward the fewest impure pairs
constexpr int kMostIterations = 300;  // in the first round
constexpr int kMostIterationsAfter = 15;  // in each later one, which starts from the round before
constexpr double kTolerance = 1e-4;   // of the residual's norm, relative to the right-hand side's

// The notes of the retuned channels as the channel model starts and ends them.
class NoteCollector final : public ChannelListener {
 public:
  NoteCollector(const Method& method, size_t tracks) : method_(method), model_(*this, tracks, !method.ignore_file_bends) {}

  std::vector<NoteSpan> collect(const smf::File& file, const std::vector<size_t>& tracks) {
    smf::MergedEvents events(file, tracks);
    while (const smf::TimedEvent* event = events.next()) {
      tick_ = event->tick;
      model_.take(*event, events.track());
    }
    return spans_.finish(tick_);
  }

  void note_started(uint8_t channel, Note& note) override {
    if (method_.moves_notes_of(channel)) spans_.started(tick_, channel, note);
  }
  void note_ended(uint8_t channel, Note& note) override {
    if (method_.moves_notes_of(channel)) spans_.ended(tick_, note);
  }

 private:
  const Method& method_;
  ChannelModel model_;
  NoteSpans spans_;
  uint64_t tick_ = 0;
};

struct Pair {
  uint32_t later;
  uint32_t earlier;
  double weight;
  double target;  // x_later - x_earlier, cents
};

// The pairs of notes that sound together, with their weights and targets.
// With `keys_shared`, two notes on one key sound at one pitch, whatever else.
std::vector<Pair> pairs_of(std::span<const NoteSpan> notes, int ticks_per_quarter, bool keys_shared) {
  std::vector<Pair> pairs;
  pairs.reserve(notes.size() * 4);
  std::vector<uint32_t> sounding;
  const double quarter = ticks_per_quarter > 0 ? ticks_per_quarter : kQuarterUnknown;
  for (uint32_t i = 0; i < notes.size(); ++i) {
    const NoteSpan& note = notes[i];
    std::erase_if(sounding, [&](uint32_t j) { return notes[j].end <= note.start; });
    if (note.end <= note.start) continue;
    int lowest = note.key;
    for (uint32_t j : sounding) {
      lowest = std::min<int>(lowest, notes[j].key);
      if (keys_shared && notes[j].key == note.key) pairs.push_back({i, j, kSharedKeyWeight, 0.0});
    }
    const size_t from = sounding.size() > kMostPartners ? sounding.size() - kMostPartners : 0;
    for (size_t s = from; s < sounding.size(); ++s) {
      const NoteSpan& other = notes[sounding[s]];
      const int semitones = note.key - other.key;
      if (keys_shared && semitones == 0) continue;
      double deviation = 0;
      if (!just_target(semitones, deviation)) continue;
      const int interval_class = std::abs(semitones) % 12;
      const bool perfect = interval_class == 0 || interval_class == 5 || interval_class == 7;
      const double shared = static_cast<double>(std::min(note.end, other.end) - note.start) / quarter;
      const double velocity = std::max(0.25, (note.velocity + other.velocity) / 254.0);
      double weight = (perfect ? 1.0 : kThirdsWeight) * (0.25 + std::min(shared, 0.75)) * velocity;
      if (note.key == lowest || other.key == lowest) weight *= kBassFactor;
      pairs.push_back({i, sounding[s], weight, semitones >= 0 ? deviation : -deviation});
    }
    sounding.push_back(i);
  }
  return pairs;
}

// Solves (L + a I) x = b by conjugate gradient with a diagonal preconditioner,
// L the weighted Laplacian of the pairs and b their weighted targets.
int solve(size_t n, const std::vector<Pair>& pairs, const std::vector<double>& weights,
          const std::vector<size_t>& windows, int most_iterations, std::vector<double>& x) {
  std::vector<double> b(n, 0.0), diagonal(n, kAnchor);
  for (size_t w = 0; w + 1 < windows.size(); ++w)
    for (size_t i = windows[w]; i < windows[w + 1]; ++i)
      diagonal[i] += kLevelAnchor / static_cast<double>(windows[w + 1] - windows[w]);
  for (size_t k = 0; k < pairs.size(); ++k) {
    const Pair& p = pairs[k];
    b[p.later] += weights[k] * p.target;
    b[p.earlier] -= weights[k] * p.target;
    diagonal[p.later] += weights[k];
    diagonal[p.earlier] += weights[k];
  }
  // Pairs come grouped by their later note: its share is summed in a register.
  auto multiply = [&](const std::vector<double>& v, std::vector<double>& out) {
    for (size_t i = 0; i < n; ++i) out[i] = kAnchor * v[i];
    for (size_t w = 0; w + 1 < windows.size(); ++w) {
      double sum = 0;
      for (size_t i = windows[w]; i < windows[w + 1]; ++i) sum += v[i];
      const double level = kLevelAnchor * sum / static_cast<double>(windows[w + 1] - windows[w]);
      for (size_t i = windows[w]; i < windows[w + 1]; ++i) out[i] += level;
    }
    for (size_t k = 0; k < pairs.size();) {
      const uint32_t later = pairs[k].later;
      const double at = v[later];
      double sum = 0;
      for (; k < pairs.size() && pairs[k].later == later; ++k) {
        const double flow = weights[k] * (at - v[pairs[k].earlier]);
        sum += flow;
        out[pairs[k].earlier] -= flow;
      }
      out[later] += sum;
    }
  };
  std::vector<double> r(n), z(n), d(n), q(n);
  multiply(x, q);
  double b_norm = 0;
  for (size_t i = 0; i < n; ++i) {
    r[i] = b[i] - q[i];
    z[i] = r[i] / diagonal[i];
    d[i] = z[i];
    b_norm += b[i] * b[i];
  }
  const double limit = kTolerance * kTolerance * std::max(b_norm, 1e-12);
  double rz = 0;
  for (size_t i = 0; i < n; ++i) rz += r[i] * z[i];
  int iteration = 0;
  for (; iteration < most_iterations; ++iteration) {
    double rr = 0;
    for (size_t i = 0; i < n; ++i) rr += r[i] * r[i];
    if (rr <= limit) break;
    multiply(d, q);
    double dq = 0;
    for (size_t i = 0; i < n; ++i) dq += d[i] * q[i];
    if (dq <= 0) break;
    const double alpha = rz / dq;
    double next_rz = 0;
    for (size_t i = 0; i < n; ++i) {
      x[i] += alpha * d[i];
      r[i] -= alpha * q[i];
      z[i] = r[i] / diagonal[i];
      next_rz += r[i] * z[i];
    }
    const double beta = next_rz / rz;
    rz = next_rz;
    for (size_t i = 0; i < n; ++i) d[i] = z[i] + beta * d[i];
  }
  return iteration;
}

}  // namespace

std::vector<NoteSpan> timeline_notes(const smf::File& file, const std::vector<size_t>& tracks, const Method& method) {
  return NoteCollector(method, file.tracks.size()).collect(file, tracks);
}

// Where each window of the notes begins, by their start, and where the last ends.
std::vector<size_t> windows_of(std::span<const NoteSpan> notes, int ticks_per_quarter) {
  const uint64_t length = static_cast<uint64_t>(ticks_per_quarter > 0 ? ticks_per_quarter : kQuarterUnknown) * kWindowQuarters;
  std::vector<size_t> windows;
  for (size_t i = 0; i < notes.size(); ++i)
    if (i == 0 || notes[i].start / length != notes[i - 1].start / length) windows.push_back(i);
  windows.push_back(notes.size());
  return windows;
}

std::vector<double> plan_offsets(std::span<const NoteSpan> notes, int ticks_per_quarter, bool keys_shared,
                                 PlanFigures* figures) {
  const std::vector<Pair> pairs = pairs_of(notes, ticks_per_quarter, keys_shared);
  const std::vector<size_t> windows = windows_of(notes, ticks_per_quarter);
  std::vector<double> x(notes.size(), 0.0);
  std::vector<double> weights(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) weights[k] = pairs[k].weight;
  int iterations = 0;
  for (int round = 0; round < kRounds; ++round) {
    if (round > 0)  // toward the fewest pairs off: a pair far off weighs less
      for (size_t k = 0; k < pairs.size(); ++k) {
        const Pair& p = pairs[k];
        const double residual = std::fabs(x[p.later] - x[p.earlier] - p.target);
        weights[k] = p.weight * std::max(kLeastWeight, 1.0 / (1.0 + residual * residual / (kSpared * kSpared)));
      }
    iterations += solve(notes.size(), pairs, weights, windows, round == 0 ? kMostIterations : kMostIterationsAfter, x);
  }
  uint64_t clamped = 0;
  for (double& offset : x) {
    if (std::fabs(offset) > kMostPlanned) ++clamped;
    offset = std::clamp(offset, -kMostPlanned, kMostPlanned);
  }
  if (figures) {
    figures->notes += notes.size();
    figures->pairs += pairs.size();
    figures->iterations += iterations;
    figures->clamped += clamped;
  }
  return x;
}

std::vector<NoteSpan> AdaptivePlanner::plan(const smf::File& file, const std::vector<size_t>& tracks) {
  const int quarter = file.division & 0x8000 ? 0 : file.division;
  std::vector<NoteSpan> notes = timeline_notes(file, tracks, method_);
  const std::vector<double> offsets = plan_offsets(notes, quarter, !method_.poly, &figures_);
  for (size_t i = 0; i < notes.size(); ++i) notes[i].pitch += offsets[i];
  // Of several timelines (a format 2 file), the figures of the one with most notes.
  if (notes.size() >= intonation_.notes) intonation_ = measure_intonation(notes);
  return notes;
}

}  // namespace retune
