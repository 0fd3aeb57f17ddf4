#include "tuning/tunings.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "io/failure.h"
#include "tuning/scala.h"

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
Degrees third_comma() { return regular(kPureFifth - kSyntonicComma / 3); }
Degrees two_sevenths_comma() { return regular(kPureFifth - 2 * kSyntonicComma / 7); }
Degrees fifth_comma() { return regular(kPureFifth - kSyntonicComma / 5); }
Degrees sixth_comma() { return regular(kPureFifth - kSyntonicComma / 6); }

Degrees werckmeister3() {
  const double t = kPureFifth - kPythagoreanComma / 4, p = kPureFifth;
  return from_fifths({t, t, t, p, p, t, p, p, p, p, p});  // C-G, G-D, D-A and B-F# narrowed
}

Degrees kirnberger2() {
  const double h = kPureFifth - kSyntonicComma / 2, p = kPureFifth;
  return from_fifths({p, p, h, h, p, p, p - kSchisma, p, p, p, p});  // D-A-E halve the comma; C-E pure
}

Degrees kirnberger3() {
  const double q = kPureFifth - kSyntonicComma / 4, p = kPureFifth;
  return from_fifths({q, q, q, q, p, p, p - kSchisma, p, p, p, p});  // C-E a pure third; F#-C# less a schisma
}

Degrees kellner() {
  const double t = kPureFifth - kPythagoreanComma / 5, p = kPureFifth;
  return from_fifths({t, t, t, t, p, t, p, p, p, p, p});  // C-G-D-A-E and B-F# narrowed
}

// Neidhardt tempers in twelfths of the Pythagorean comma; "for a village"
// (1732) puts 1, 2, 3, 3, 0, 1, 0, 1, 0, 0, 1 of them on C-G ... A#-F.
Degrees neidhardt_village() {
  const double u = kPythagoreanComma / 12, p = kPureFifth;
  return from_fifths({p - u, p - 2 * u, p - 3 * u, p - 3 * u, p, p - u, p, p - u, p, p, p - u});
}

// Rameau (1726): seven quarter-comma fifths from C to C#, C#-G# pure, and the
// last four fifths widened alike to close the circle.
Degrees rameau() {
  const double q = kPureFifth - kSyntonicComma / 4, p = kPureFifth;
  const double w = p + (7 * kSyntonicComma / 4 - kPythagoreanComma) / 4;
  return from_fifths({q, q, q, q, q, q, q, p, w, w, w});
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

Degrees just7() {
  return from_ratios({1.0, 16.0 / 15, 9.0 / 8, 6.0 / 5, 5.0 / 4, 4.0 / 3, 7.0 / 5, 3.0 / 2, 8.0 / 5, 5.0 / 3,
                      7.0 / 4, 15.0 / 8});
}

constexpr NamedTuning kTunings[] = {
    {"equal", "twelve-tone equal temperament: no bend at all", equal},
    {"pythagorean", "pure fifths 3/2 from E-flat to G-sharp", pythagorean},
    {"meantone", "quarter-comma meantone: pure major thirds 5/4, E-flat to G-sharp", meantone},
    {"third-comma", "third-comma meantone (Salinas 1577): pure minor thirds 6/5", third_comma},
    {"two-sevenths-comma", "2/7-comma meantone (Zarlino 1558)", two_sevenths_comma},
    {"fifth-comma", "fifth-comma meantone: fifths a fifth of a syntonic comma narrow", fifth_comma},
    {"sixth-comma", "sixth-comma meantone: fifths a sixth of a syntonic comma narrow", sixth_comma},
    {"rameau", "Rameau's modified meantone (1726): seven quarter-comma fifths C to C#", rameau},
    {"werckmeister3", "Werckmeister III (1691): four fifths a quarter Pythagorean comma narrow", werckmeister3},
    {"kirnberger2", "Kirnberger II (1771): C-E pure, D-A and A-E half a syntonic comma narrow", kirnberger2},
    {"kirnberger3", "Kirnberger III (1779): C-E pure, F#-C# a schisma narrow", kirnberger3},
    {"kellner", "Kellner (1977): C-G-D-A-E and B-F# a fifth Pythagorean comma narrow", kellner},
    {"neidhardt-village", "Neidhardt, for a village (1732): in twelfths of the Pythagorean comma",
     neidhardt_village},
    {"vallotti", "Vallotti: F-C-G-D-A-E-B a sixth Pythagorean comma narrow", vallotti},
    {"young", "Young (1799): C-G-D-A-E-B-F# a sixth Pythagorean comma narrow", young},
    {"just", "5-limit just major scale on the root", just},
    {"just7", "7-limit just scale on the root: 7/5 and 7/4 for the tritone and minor seventh", just7},
};

// Other names people use for the built-ins.
constexpr struct {
  const char* alias;
  const char* name;
} kAliases[] = {
    {"12-tet", "equal"},
    {"12-edo", "equal"},
    {"quarter-comma", "meantone"},
    {"1/4-comma", "meantone"},
    {"quarter-comma-meantone", "meantone"},
    {"1/3-comma", "third-comma"},
    {"salinas", "third-comma"},
    {"2/7-comma", "two-sevenths-comma"},
    {"zarlino", "two-sevenths-comma"},
    {"1/5-comma", "fifth-comma"},
    {"1/6-comma", "sixth-comma"},
    {"rameau-meantone", "rameau"},
    {"werckmeister", "werckmeister3"},
    {"werckmeister-iii", "werckmeister3"},
    {"kirnberger-ii", "kirnberger2"},
    {"kirnberger-iii", "kirnberger3"},
    {"neidhardt", "neidhardt-village"},
    {"bach-kellner", "kellner"},
    {"vallotti-young", "vallotti"},
    {"5-limit", "just"},
    {"just5", "just"},
    {"7-limit", "just7"},
    {"septimal", "just7"},
};

std::string lower(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The number N of edo:N, edoN, N-edo, Nedo, N-tet or Ntet (lower case); -1
// when the name is none of these, 0 when N is not a number from 1 to 999.
int edo_steps(const std::string& name) {
  std::string_view digits;
  if (name.rfind("edo", 0) == 0) {
    digits = std::string_view(name).substr(name.rfind("edo:", 0) == 0 ? 4 : 3);
  } else {
    size_t end = 0;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    const std::string_view rest = std::string_view(name).substr(end);
    if (end == 0 || (rest != "edo" && rest != "-edo" && rest != "tet" && rest != "-tet")) return -1;
    digits = std::string_view(name).substr(0, end);
  }
  if (digits.empty() || digits.size() > 3) return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = 10 * n + (c - '0');
  }
  return n;
}

Scale equal_division(int steps) {
  Scale scale;
  for (int i = 1; i <= steps; ++i) scale.pitches.push_back(i * 1200.0 / steps);
  return scale;
}

// Edits that turn one text into the other (Levenshtein distance).
size_t distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "did you mean a, b or c?" with the built-in names nearest to `wanted`, or
// nothing when none is near.
std::string suggestions(const std::string& wanted) {
  const size_t near = std::max<size_t>(2, wanted.size() / 3);
  std::vector<std::pair<size_t, std::string>> found;
  auto consider = [&](std::string_view candidate, const char* name) {
    size_t d = distance(wanted, candidate);
    // A name that starts with what was typed ("kirn") is near too.
    if (wanted.size() >= 3 && candidate.substr(0, wanted.size()) == wanted) d = std::min<size_t>(d, 1);
    if (d > near) return;
    for (auto& [best, known] : found)
      if (known == name) {
        best = std::min(best, d);
        return;
      }
    found.emplace_back(d, name);
  };
  for (const NamedTuning& tuning : kTunings) consider(tuning.name, tuning.name);
  for (const auto& a : kAliases) consider(a.alias, a.name);
  if (found.empty()) return "";
  std::stable_sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  if (found.size() > 3) found.resize(3);
  std::string text = "did you mean ";
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0) text += i + 1 == found.size() ? " or " : ", ";
    text += found[i].second;
  }
  return text + "?";
}

}  // namespace

std::span<const NamedTuning> builtin_tunings() { return kTunings; }

const NamedTuning* find_tuning(std::string_view name) {
  std::string wanted = lower(name);
  for (const auto& a : kAliases)
    if (wanted == a.alias) wanted = a.name;
  for (const NamedTuning& tuning : kTunings)
    if (wanted == tuning.name) return &tuning;
  return nullptr;
}

KeyTable builtin_table(std::string_view name, int root) {
  if (const NamedTuning* tuning = find_tuning(name)) return KeyTable::from_pitch_classes(offsets_on_root(tuning->degrees(), root));
  const std::string wanted = lower(name);
  const int steps = edo_steps(wanted);
  if (steps >= 0 && (steps < kMinEdo || steps > kMaxEdo))
    io::fail(io::kExitBadArguments, "Unknown tuning \"%.*s\": equal divisions go from edo:%d to edo:%d\n",
             static_cast<int>(name.size()), name.data(), kMinEdo, kMaxEdo);
  if (steps < 0) {
    const std::string near = suggestions(wanted);
    if (near.empty())
      io::fail(io::kExitBadArguments, "Unknown tuning \"%.*s\"; see retune --list-tunings\n",
               static_cast<int>(name.size()), name.data());
    io::fail(io::kExitBadArguments, "Unknown tuning \"%.*s\"; %s See retune --list-tunings\n",
             static_cast<int>(name.size()), name.data(), near.c_str());
  }
  return map_keys(equal_division(steps), KeyboardMapping::linear(60 + root), "").table;
}

Scale builtin_scale(std::string_view name) {
  Scale scale;
  if (const NamedTuning* tuning = find_tuning(name)) {
    const Degrees degrees = tuning->degrees();
    scale.pitches.assign(degrees.begin() + 1, degrees.end());
    scale.pitches.push_back(1200.0);
    scale.name = tuning->name;
    scale.description = std::string(tuning->name) + ": " + tuning->description;
    return scale;
  }
  const int steps = edo_steps(lower(name));
  scale = equal_division(steps);
  scale.name = "edo:" + std::to_string(steps);
  scale.description = scale.name + ": " + std::to_string(steps) + " equal divisions of the octave";
  return scale;
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
