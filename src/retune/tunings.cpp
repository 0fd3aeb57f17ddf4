#include "retune/tunings.h"

#include <cmath>
#include <string>

namespace retune {

namespace {

double cents(double ratio) { return 1200.0 * std::log2(ratio); }

const double kPureFifth = cents(3.0 / 2.0);                   // 701.955
const double kPythagoreanComma = 12 * kPureFifth - 8400.0;    // 23.460: twelve fifths over seven octaves
const double kSyntonicComma = cents(81.0 / 80.0);             // 21.506: four fifths over a pure third
const double kSchisma = kPythagoreanComma - kSyntonicComma;   // 1.954

// The circle of fifths from C: C-G, G-D, D-A, A-E, E-B, B-F#, F#-C#, C#-G#,
// G#-D#, D#-A#, A#-F. The twelfth, F-C, closes the circle at seven octaves.
using Fifths = std::array<double, kPitchClasses - 1>;

Degrees from_fifths(const Fifths& fifths) {
  Degrees degrees{};
  double up = 0;
  for (int k = 0; k < kPitchClasses - 1; ++k) {
    up += fifths[k];
    degrees[(7 * (k + 1)) % kPitchClasses] = std::fmod(up, 1200.0);
  }
  return degrees;
}

// Eleven equal fifths from E-flat to G-sharp; the wolf, G#-Eb, takes the rest.
Degrees regular(double fifth) {
  Degrees degrees{};
  for (int k = -3; k <= 8; ++k) {
    const double up = std::fmod(k * fifth, 1200.0);
    degrees[((7 * k) % kPitchClasses + kPitchClasses) % kPitchClasses] = up < 0 ? up + 1200.0 : up;
  }
  return degrees;
}

Degrees from_ratios(const std::array<double, kPitchClasses>& ratios) {
  Degrees degrees{};
  for (int i = 0; i < kPitchClasses; ++i) degrees[i] = cents(ratios[i]);
  return degrees;
}

Degrees equal() { return regular(700.0); }
Degrees pythagorean() { return regular(kPureFifth); }
Degrees meantone() { return regular(kPureFifth - kSyntonicComma / 4); }
Degrees sixth_comma() { return regular(kPureFifth - kSyntonicComma / 6); }

Degrees werckmeister3() {
  const double t = kPureFifth - kPythagoreanComma / 4, p = kPureFifth;
  return from_fifths({t, t, t, p, p, t, p, p, p, p, p});  // C-G, G-D, D-A and B-F# narrowed
}

Degrees kirnberger3() {
  const double q = kPureFifth - kSyntonicComma / 4, p = kPureFifth;
  return from_fifths({q, q, q, q, p, p, p - kSchisma, p, p, p, p});  // C-E a pure third; F#-C# less a schisma
}

Degrees vallotti() {
  const double t = kPureFifth - kPythagoreanComma / 6, p = kPureFifth;
  return from_fifths({t, t, t, t, t, p, p, p, p, p, p});  // F-C-G-D-A-E-B narrowed, F-C closing
}

Degrees young() {
  const double t = kPureFifth - kPythagoreanComma / 6, p = kPureFifth;
  return from_fifths({t, t, t, t, t, t, p, p, p, p, p});  // C-G-D-A-E-B-F# narrowed
}

Degrees just() {
  return from_ratios({1.0, 16.0 / 15, 9.0 / 8, 6.0 / 5, 5.0 / 4, 4.0 / 3, 45.0 / 32, 3.0 / 2, 8.0 / 5, 5.0 / 3,
                      9.0 / 5, 15.0 / 8});
}

constexpr NamedTuning kTunings[] = {
    {"equal", "twelve-tone equal temperament: no bend at all", equal},
    {"pythagorean", "pure fifths 3/2 from E-flat to G-sharp", pythagorean},
    {"meantone", "quarter-comma meantone: pure major thirds 5/4, E-flat to G-sharp", meantone},
    {"sixth-comma", "sixth-comma meantone: fifths a sixth of a syntonic comma narrow", sixth_comma},
    {"werckmeister3", "Werckmeister III (1691): four fifths a quarter Pythagorean comma narrow", werckmeister3},
    {"kirnberger3", "Kirnberger III (1779): C-E pure, F#-C# a schisma narrow", kirnberger3},
    {"vallotti", "Vallotti: F-C-G-D-A-E-B a sixth Pythagorean comma narrow", vallotti},
    {"young", "Young (1799): C-G-D-A-E-B-F# a sixth Pythagorean comma narrow", young},
    {"just", "5-limit just major scale on the root", just},
};

}  // namespace

std::span<const NamedTuning> builtin_tunings() { return kTunings; }

const NamedTuning* find_tuning(std::string_view name) {
  for (const NamedTuning& tuning : kTunings)
    if (name == tuning.name) return &tuning;
  return nullptr;
}

Tuning offsets_on_root(const Degrees& degrees, int root) {
  Tuning cent{};
  for (int i = 0; i < kPitchClasses; ++i) cent[(root + i) % kPitchClasses] = degrees[i] - 100.0 * i;
  return cent;
}

int parse_pitch_class(std::string_view text) {
  if (text.empty()) return -1;
  if (text[0] >= '0' && text[0] <= '9') {
    if (text.size() > 2 || (text.size() == 2 && (text[1] < '0' || text[1] > '9'))) return -1;
    const int n = std::stoi(std::string(text));
    return n < kPitchClasses ? n : -1;
  }
  static constexpr int kNaturals[] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  const char letter = static_cast<char>(text[0] | 0x20);
  if (letter < 'a' || letter > 'g') return -1;
  int pitch_class = kNaturals[letter - 'a'];
  if (text.size() == 2 && text[1] == '#') pitch_class += 1;
  else if (text.size() == 2 && text[1] == 'b') pitch_class += kPitchClasses - 1;
  else if (text.size() != 1) return -1;
  return pitch_class % kPitchClasses;
}

}  // namespace retune
