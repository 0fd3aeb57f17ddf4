#include "retune/scala.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "io/failure.h"

namespace retune {

namespace {

std::string read_text(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) io::fail(io::kExitBadArguments, "Can't read %s file %s: %s\n", what, path.c_str(), std::strerror(errno));
  return text.str();
}

// The lines that are not comments, with their line numbers.
struct Line {
  int number;
  std::string text;
};

std::vector<Line> content_lines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '!') continue;
    lines.push_back({number, line});
  }
  return lines;
}

std::string trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void malformed(const std::string& name, int line, const char* what) {
  io::fail(io::kExitBadArguments, "Scala file %s, line %d: %s\n", name.c_str(), line, what);
}

// A non-negative integer at the start of the line; -1 when there is none.
long leading_integer(const std::string& text) {
  const std::string t = trimmed(text);
  if (t.empty() || t[0] < '0' || t[0] > '9') return -1;
  errno = 0;
  const long value = std::strtol(t.c_str(), nullptr, 10);
  return errno ? -1 : value;
}

// A pitch: cents when it has a point, else a ratio n/d or an integer n.
bool parse_pitch(const std::string& text, double& cents) {
  const std::string t = trimmed(text);
  const size_t end = t.find_first_of(" \t");
  const std::string word = t.substr(0, end);
  if (word.empty()) return false;
  char* rest = nullptr;
  if (word.find('.') != std::string::npos) {
    if (!(word[0] == '-' || word[0] == '+' || word[0] == '.' || (word[0] >= '0' && word[0] <= '9'))) return false;
    cents = std::strtod(word.c_str(), &rest);
    return *rest == '\0' && std::isfinite(cents);
  }
  if (word[0] < '0' || word[0] > '9') return false;
  const double numerator = std::strtod(word.c_str(), &rest);
  double denominator = 1;
  if (*rest == '/') {
    const char* d = rest + 1;
    if (*d < '0' || *d > '9') return false;
    denominator = std::strtod(d, &rest);
  }
  if (*rest != '\0' || !(numerator > 0) || !(denominator > 0) || !std::isfinite(numerator / denominator)) return false;
  cents = 1200.0 * std::log2(numerator / denominator);
  return true;
}

}  // namespace

Scale parse_scl(const std::string& text, const std::string& name) {
  const std::vector<Line> lines = content_lines(text);
  if (lines.empty()) malformed(name, 1, "no description line");
  Scale scale;
  scale.description = trimmed(lines[0].text);
  if (lines.size() < 2) malformed(name, lines[0].number + 1, "no note count");
  const long count = leading_integer(lines[1].text);
  if (count < 0 || count > 1024) malformed(name, lines[1].number, "expected the number of notes");
  for (long i = 0; i < count; ++i) {
    const size_t at = 2 + static_cast<size_t>(i);
    if (at >= lines.size()) malformed(name, lines.back().number + 1, "fewer pitches than the note count");
    double cents;
    if (!parse_pitch(lines[at].text, cents))
      malformed(name, lines[at].number, "expected a pitch: cents with a point, a ratio n/d or an integer");
    scale.pitches.push_back(cents);
  }
  return scale;
}

Scale read_scl(const std::string& path) { return parse_scl(read_text(path, "scale"), path); }

KeyboardMapping parse_kbm(const std::string& text, const std::string& name) {
  const std::vector<Line> lines = content_lines(text);
  const char* const fields[] = {"map size", "first note", "last note", "middle note", "reference note",
                                "reference frequency", "formal octave degree"};
  double values[7];
  for (size_t i = 0; i < 7; ++i) {
    if (i >= lines.size()) malformed(name, lines.empty() ? 1 : lines.back().number + 1, "the keyboard mapping ends early");
    const std::string t = trimmed(lines[i].text);
    char* rest = nullptr;
    values[i] = std::strtod(t.c_str(), &rest);
    const bool integer_field = i != 5;
    if (t.empty() || rest == t.c_str() || (integer_field && values[i] != std::floor(values[i])) ||
        (rest && *rest && *rest != ' ' && *rest != '\t')) {
      const std::string what = std::string("expected the ") + fields[i];
      malformed(name, lines[i].number, what.c_str());
    }
  }
  const int size = static_cast<int>(values[0]);
  KeyboardMapping mapping;
  mapping.middle_note = static_cast<int>(values[3]);
  mapping.reference_note = static_cast<int>(values[4]);
  mapping.reference_frequency = values[5];
  const int octave_degree = static_cast<int>(values[6]);
  if (mapping.middle_note < 0 || mapping.middle_note > 127) malformed(name, lines[3].number, "the middle note must be 0-127");
  if (mapping.reference_note < 0 || mapping.reference_note > 127)
    malformed(name, lines[4].number, "the reference note must be 0-127");
  if (!(mapping.reference_frequency > 0)) malformed(name, lines[5].number, "the reference frequency must be above 0");
  // Only linear mappings: every key plays the next degree.
  if (size != 0 && size != kPitchClasses)
    malformed(name, lines[0].number, "only linear mappings (size 0, or 12 keys in order) are supported");
  if (size == kPitchClasses && octave_degree != kPitchClasses)
    malformed(name, lines[6].number, "only linear mappings (formal octave at degree 12) are supported");
  for (int i = 0; i < size; ++i) {
    const size_t at = 7 + static_cast<size_t>(i);
    if (at >= lines.size()) malformed(name, lines.back().number + 1, "fewer mapping entries than the map size");
    if (leading_integer(lines[at].text) != i)
      malformed(name, lines[at].number, "only linear mappings (entries 0 to 11 in key order) are supported");
  }
  return mapping;
}

KeyboardMapping read_kbm(const std::string& path) { return parse_kbm(read_text(path, "keyboard mapping"), path); }

Degrees scale_degrees(const Scale& scale, const std::string& name) {
  if (scale.pitches.size() != kPitchClasses)
    io::fail(io::kExitBadArguments, "Scala file %s has %zu notes: retune needs 12 notes to the octave\n", name.c_str(),
             scale.pitches.size());
  if (std::fabs(scale.pitches.back() - 1200.0) > 1e-6)
    io::fail(io::kExitBadArguments, "Scala file %s repeats at %.6g cents: retune needs a period of 2/1 (1200 cents)\n",
             name.c_str(), scale.pitches.back());
  Degrees degrees{};
  for (int i = 1; i < kPitchClasses; ++i) degrees[i] = scale.pitches[i - 1];
  return degrees;
}

Tuning offsets_for_mapping(const Degrees& degrees, const KeyboardMapping& mapping) {
  Tuning cent = offsets_on_root(degrees, mapping.middle_note % kPitchClasses);
  // Where equal temperament at A = 440 Hz puts the reference key, and where
  // the mapping wants it: every offset moves by the difference.
  const double equal_hz = 440.0 * std::exp2((mapping.reference_note - 69) / 12.0);
  const double wanted = 1200.0 * std::log2(mapping.reference_frequency / equal_hz);
  const double shift = wanted - cent[mapping.reference_note % kPitchClasses];
  for (double& c : cent) c += shift;
  return cent;
}

}  // namespace retune
