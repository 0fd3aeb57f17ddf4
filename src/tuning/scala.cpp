#include "tuning/scala.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "io/failure.h"

namespace retune {

namespace {

bool ends_with(const std::string& path, const char* extension) {
  const size_t n = std::strlen(extension);
  if (path.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if ((path[path.size() - n + i] | 0x20) != extension[i]) return false;
  return true;
}

// Closes its descriptor however the reading ends.
struct OpenFile {
  int fd;
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
};

// The whole file, refused when it is no regular text of a Scala file's size:
// a directory, or a device such as /dev/zero that never ends.
std::string read_text(const std::string& path, const char* what) {
  const OpenFile file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0)
    io::fail(io::kExitBadArguments, "Can't read %s file %s: %s\n", what, path.c_str(), std::strerror(errno));
  struct stat st;
  if (fstat(file.fd, &st) == 0 && S_ISDIR(st.st_mode))
    io::fail(io::kExitBadArguments, "Can't read %s file %s: it is a directory\n", what, path.c_str());
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) io::fail(io::kExitBadArguments, "Can't read %s file %s: %s\n", what, path.c_str(), std::strerror(errno));
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxScalaFileBytes)
      io::fail(io::kExitBadArguments, "Can't read %s file %s: it is larger than 1 MiB, too large for a Scala file\n",
               what, path.c_str());
  }
}

struct Line {
  int number;
  std::string_view text;
};

// The lines that are not comments, with their numbers, and the number a
// line after the last would have.
struct Lines {
  std::vector<Line> lines;
  int end = 1;

  size_t size() const { return lines.size(); }
  const Line& operator[](size_t i) const { return lines[i]; }
};

// A line ends at LF, CR LF, a lone CR, or CR CR LF (a CR LF file converted
// once more); a UTF-8 byte-order mark before the first line is no part of it.
Lines content_lines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Lines lines;
  int& number = lines.end;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (line.empty() || line[0] != '!') lines.lines.push_back({number, line});
    ++number;
    start = end;
    if (start < text.size()) {
      size_t crs = start;
      while (crs < text.size() && text[crs] == '\r') ++crs;
      // CRs before an LF end one line; lone CRs end one line each.
      start = crs < text.size() && text[crs] == '\n' ? crs + 1 : start + 1;
    }
  }
  return lines;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first word of a line: what stands between leading blanks and the next
// blank. What follows it is commentary.
std::string_view first_word(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  size_t end = start;
  while (end < line.size() && !is_blank(line[end])) ++end;
  return line.substr(start, end - start);
}

std::string trimmed(std::string_view s) {
  size_t first = 0, last = s.size();
  while (first < last && is_blank(s[first])) ++first;
  while (last > first && is_blank(s[last - 1])) --last;
  return std::string(s.substr(first, last - first));
}

// How a message shows what was read.
std::string shown(std::string_view word) {
  if (word.empty()) return "an empty line";
  std::string text = "\"";
  text.append(word.substr(0, 40));
  text += word.size() > 40 ? "...\"" : "\"";
  return text;
}

constexpr uint64_t kTooLarge = UINT64_MAX;

// Decimal digits and nothing else, as a number; kTooLarge when it overflows.
std::optional<uint64_t> digits_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (kTooLarge - 1 - digit) / 10) return kTooLarge;
    value = 10 * value + digit;
  }
  return value;
}

// A whole number field: its first word, digits only. Its value saturates,
// so that a huge number fails the range check that follows.
std::optional<long> whole_number(std::string_view word) {
  const std::optional<uint64_t> value = digits_value(word);
  if (!value) return std::nullopt;
  return static_cast<long>(std::min<uint64_t>(*value, 1u << 30));
}

enum class PitchError { kNone, kSyntax, kZero, kTooLarge };

// A pitch as the Scala format writes it: cents when the word has a period
// (optional sign, digits with one period), otherwise a ratio of whole
// numbers n/d, or n alone for n/1.
PitchError parse_pitch(std::string_view word, double& cents) {
  if (word.find('.') != std::string_view::npos) {
    const std::optional<double> value = parse_decimal(word);
    if (!value) return PitchError::kSyntax;
    if (!std::isfinite(*value)) return PitchError::kTooLarge;
    cents = *value;
    return PitchError::kNone;
  }
  const size_t slash = word.find('/');
  const std::optional<uint64_t> numerator = digits_value(word.substr(0, slash));
  const std::optional<uint64_t> denominator =
      slash == std::string_view::npos ? std::optional<uint64_t>(1) : digits_value(word.substr(slash + 1));
  if (!numerator || !denominator) return PitchError::kSyntax;
  if (*numerator == kTooLarge || *denominator == kTooLarge) return PitchError::kTooLarge;
  if (*numerator == 0 || *denominator == 0) return PitchError::kZero;
  cents = 1200.0 * std::log2(static_cast<double>(*numerator) / static_cast<double>(*denominator));
  return PitchError::kNone;
}

[[noreturn]] void malformed(const char* kind, const std::string& name, int line, const std::string& what) {
  io::fail(io::kExitBadArguments, "%s %s, line %d: %s\n", kind, name.c_str(), line, what.c_str());
}

constexpr char kScale[] = "Scala file";
constexpr char kMapping[] = "Keyboard mapping";

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0, points = 0;
  for (size_t j = i; j < text.size(); ++j) {
    if (is_digit(text[j])) ++digits;
    else if (text[j] == '.') ++points;
    else return std::nullopt;
  }
  if (digits == 0 || points > 1) return std::nullopt;
  // Plain decimal text: strtod reads it exactly as written, rounded once.
  const std::string number(text);
  return std::strtod(number.c_str(), nullptr);
}

double Scale::degree_cents(long degree) const {
  const long n = size();
  const long periods = degree >= 0 ? degree / n : -((-degree + n - 1) / n);
  const long within = degree - periods * n;
  return static_cast<double>(periods) * period() + (within == 0 ? 0.0 : pitches[static_cast<size_t>(within - 1)]);
}

KeyboardMapping KeyboardMapping::linear(int middle_note) {
  KeyboardMapping mapping;
  mapping.middle_note = mapping.reference_note = middle_note;
  mapping.reference_frequency = 440.0 * std::exp2((middle_note - 69) / 12.0);
  mapping.frequency_text.clear();
  return mapping;
}

Scale parse_scl(const std::string& text, const std::string& name) {
  const Lines lines = content_lines(text);
  if (lines.size() == 0) malformed(kScale, name, lines.end, "no description line");
  Scale scale;
  scale.description = trimmed(lines[0].text);
  if (lines.size() < 2) malformed(kScale, name, lines.end, "no note count");
  const std::string_view count_word = first_word(lines[1].text);
  const std::optional<long> count = whole_number(count_word);
  if (!count) malformed(kScale, name, lines[1].number, shown(count_word) + " is no note count: expected a whole number");
  if (*count < 1 || *count > kMaxScaleNotes)
    malformed(kScale, name, lines[1].number,
              "a note count of " + std::string(count_word) + ": retune takes 1 to " + std::to_string(kMaxScaleNotes) +
                  " notes, the last being the period");
  for (long i = 0; i < *count; ++i) {
    const size_t at = 2 + static_cast<size_t>(i);
    if (at >= lines.size()) malformed(kScale, name, lines.end, "fewer pitches than the note count");
    const std::string_view word = first_word(lines[at].text);
    double cents = 0;
    switch (parse_pitch(word, cents)) {
      case PitchError::kSyntax:
        malformed(kScale, name, lines[at].number,
                  shown(word) + " is no pitch: expected cents with a period, a ratio n/d or an integer");
      case PitchError::kZero:
        malformed(kScale, name, lines[at].number, shown(word) + " is no pitch: a ratio's numbers must be above 0");
      case PitchError::kTooLarge:
        malformed(kScale, name, lines[at].number, shown(word) + " is no pitch: its numbers are too large");
      case PitchError::kNone:
        break;
    }
    scale.pitches.push_back(cents);
  }
  if (!(scale.period() > 0))
    malformed(kScale, name, lines[1 + static_cast<size_t>(*count)].number,
              "the period (the last pitch) " + shown(first_word(lines[1 + static_cast<size_t>(*count)].text)) +
                  " must be above 1/1");
  return scale;
}

Scale read_scl(const std::string& path) {
  if (ends_with(path, ".kbm"))
    io::fail(io::kExitBadArguments, "Scala file %s is a keyboard mapping: give it with --kbm, and a scale with --scl\n",
             path.c_str());
  Scale scale = parse_scl(read_text(path, "scale"), path);
  // Its name: the file's, without directory and extension.
  const size_t start = path.rfind('/') + 1;
  scale.name = path.substr(start, ends_with(path, ".scl") ? path.size() - start - 4 : std::string::npos);
  return scale;
}

KeyboardMapping parse_kbm(const std::string& text, const std::string& name) {
  const Lines lines = content_lines(text);
  auto line_of = [&](size_t i) -> const Line& {
    static const char* const kFields[] = {"map size",       "first note",          "last note",
                                          "middle note",    "reference note",      "reference frequency",
                                          "formal octave degree"};
    if (i >= lines.size())
      malformed(kMapping, name, lines.end,
                std::string("expected the ") + kFields[i] + ", found the end of the file");
    return lines[i];
  };
  // A whole-number field from `low` to `high`.
  auto field = [&](size_t i, const char* what, long low, long high) {
    const Line& line = line_of(i);
    const std::string_view word = first_word(line.text);
    const std::optional<long> value = whole_number(word);
    if (!value) malformed(kMapping, name, line.number, shown(word) + " is no " + what + ": expected a whole number");
    if (*value < low || *value > high)
      malformed(kMapping, name, line.number,
                std::string(what) + " " + std::string(word) + " is out of range: expected " + std::to_string(low) +
                    " to " + std::to_string(high));
    return static_cast<int>(*value);
  };
  KeyboardMapping mapping;
  mapping.size = field(0, "map size", 0, kKeys);
  mapping.first_note = field(1, "first note", 0, kKeys - 1);
  mapping.last_note = field(2, "last note", 0, kKeys - 1);
  if (mapping.last_note < mapping.first_note)
    malformed(kMapping, name, lines[2].number,
              "last note " + std::to_string(mapping.last_note) + " is below the first note, " +
                  std::to_string(mapping.first_note));
  mapping.middle_note = field(3, "middle note", 0, kKeys - 1);
  mapping.reference_note = field(4, "reference note", 0, kKeys - 1);
  const Line& frequency_line = line_of(5);
  const std::string_view frequency = first_word(frequency_line.text);
  const std::optional<double> hz = parse_decimal(frequency);
  if (!hz)
    malformed(kMapping, name, frequency_line.number,
              shown(frequency) + " is no reference frequency: expected a decimal number such as 440.0");
  if (!(*hz > 0) || !std::isfinite(*hz))
    malformed(kMapping, name, frequency_line.number,
              "reference frequency " + std::string(frequency) + " is out of range: expected a frequency above 0");
  mapping.reference_frequency = *hz;
  mapping.frequency_text = std::string(frequency);
  mapping.octave_degree = field(6, "formal octave degree", 0, kMaxScaleNotes);
  // The pattern; entries left out at its end are unmapped.
  for (int i = 0; i < mapping.size && 7 + static_cast<size_t>(i) < lines.size(); ++i) {
    const Line& line = lines[7 + static_cast<size_t>(i)];
    const std::string_view word = first_word(line.text);
    if (word == "x" || word == "X") {
      mapping.degrees.push_back(KeyboardMapping::kUnmapped);
      continue;
    }
    const std::optional<long> degree = whole_number(word);
    if (!degree)
      malformed(kMapping, name, line.number, shown(word) + " is no mapping entry: expected a scale degree or x");
    if (*degree > kMaxScaleNotes)
      malformed(kMapping, name, line.number,
                "mapping entry " + std::string(word) + " is out of range: expected 0 to " +
                    std::to_string(kMaxScaleNotes) + " or x");
    mapping.degrees.push_back(static_cast<int>(*degree));
  }
  return mapping;
}

KeyboardMapping read_kbm(const std::string& path) {
  if (ends_with(path, ".scl"))
    io::fail(io::kExitBadArguments, "Keyboard mapping %s is a Scala scale: give it with --scl, and a mapping with --kbm\n",
             path.c_str());
  return parse_kbm(read_text(path, "keyboard mapping"), path);
}

}  // namespace retune
