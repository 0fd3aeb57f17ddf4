#include "retune/intonation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace retune {

namespace {

constexpr double kPureWithin = 2.0;  // cents
constexpr uint64_t kUnended = UINT64_MAX;

double cents_of(double ratio) { return 1200.0 * std::log2(ratio); }

}  // namespace

void NoteSpans::started(uint64_t tick, uint8_t channel, Note& note) {
  note.mark = 0;
  const size_t index = notes_.size();
  notes_.push_back({tick, kUnended, channel, note.key, note.velocity, 100.0 * note.key});
  // Beyond the slots a mark can name, a note lasts to the end.
  if (free_.empty() && open_.size() < std::numeric_limits<uint16_t>::max()) {
    free_.push_back(open_.size());
    open_.push_back(kFree);
  }
  if (free_.empty()) return;
  const size_t slot = free_.back();
  free_.pop_back();
  open_[slot] = index;
  note.mark = static_cast<uint16_t>(slot + 1);
}

void NoteSpans::ended(uint64_t tick, Note& note) {
  if (note.mark == 0) return;
  const size_t slot = note.mark - 1u;
  notes_[open_[slot]].end = tick;
  open_[slot] = kFree;
  free_.push_back(slot);
  note.mark = 0;
}

std::vector<NoteSpan> NoteSpans::finish(uint64_t tick) {
  for (NoteSpan& note : notes_)
    if (note.end == kUnended) note.end = tick;
  open_.clear();
  free_.clear();
  return std::move(notes_);
}

bool just_target(int semitones, double& deviation) {
  // Per interval class, the just ratio aimed at (0: none).
  static constexpr double kRatios[kPitchClasses] = {1.0, 0, 0, 6.0 / 5, 5.0 / 4, 4.0 / 3, 0, 3.0 / 2, 8.0 / 5, 5.0 / 3, 0, 0};
  static const auto kDeviations = [] {
    std::array<double, kPitchClasses> cents{};
    for (int c = 0; c < kPitchClasses; ++c)
      if (kRatios[c] > 0) cents[c] = cents_of(kRatios[c]) - 100.0 * c;
    return cents;
  }();
  const int interval_class = std::abs(semitones) % kPitchClasses;
  if (kRatios[interval_class] == 0) return false;
  deviation = kDeviations[interval_class];
  return true;
}

Intonation measure_intonation(std::span<const NoteSpan> notes) {
  Intonation result;
  result.notes = notes.size();
  if (notes.empty()) return result;
  double squares = 0;
  std::vector<size_t> sounding;
  uint64_t last = 0;
  for (size_t i = 0; i < notes.size(); ++i) {
    const NoteSpan& note = notes[i];
    last = std::max(last, note.end);
    result.farthest = std::max(result.farthest, std::fabs(note.pitch - 100.0 * note.key));
    std::erase_if(sounding, [&](size_t j) { return notes[j].end <= note.start; });
    if (note.end <= note.start) continue;
    for (size_t j : sounding) {
      const double interval = std::fabs(note.pitch - notes[j].pitch);
      const int semitones = static_cast<int>(std::lround(interval / 100.0));
      double deviation = 0;
      if (!just_target(semitones, deviation)) continue;
      const double error = std::fabs(interval - 100.0 * semitones - deviation);
      if (semitones % 12 == 0) {
        ++result.octave_pairs;
        result.octaves_pure += error <= kPureWithin;
        continue;
      }
      ++result.pairs;
      result.pure += error <= kPureWithin;
      squares += error * error;
      result.largest = std::max(result.largest, error);
    }
    sounding.push_back(i);
  }
  result.rms = result.pairs ? std::sqrt(squares / static_cast<double>(result.pairs)) : 0;

  // The pitch level: the notes starting in the first and in the last tenth of the piece.
  const uint64_t first = notes.front().start;
  const double tenth = static_cast<double>(last - first) / 10.0;
  double head = 0, tail = 0;
  size_t head_count = 0, tail_count = 0;
  for (const NoteSpan& note : notes) {
    const double offset = note.pitch - 100.0 * note.key;
    const double at = static_cast<double>(note.start - first);
    if (at < tenth) head += offset, ++head_count;
    if (at >= 9 * tenth) tail += offset, ++tail_count;
  }
  if (head_count && tail_count)
    result.drift = tail / static_cast<double>(tail_count) - head / static_cast<double>(head_count);
  return result;
}

}  // namespace retune
