// What the program says about its work: the reports on standard error after
// a run, the analysis as text or JSON, and the words they share.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "driver/retune_file.h"
#include "retune/analyze.h"

namespace retune::driver {

// "1 note", "2 notes".
inline std::string count(uint64_t n, const char* thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

// The numbers, 1 to 16, of the channels in a mask, `separator` between them.
std::string channel_numbers(uint16_t channels, const char* separator);

// What --verbose says about a run, after the program's or the file's name.
std::string verbose_report(const FileReport& report, const Method& method);
// What a run says even without --verbose, a line after the name for each:
// the compromises --poly made, the pitches beyond reach. Empty when none.
std::string warnings(const FileReport& report);

// The keys whose pitch the method could not reach, and the notes played on
// them, in one line; empty when every key was reached.
std::string reach_summary(const FileReport& report);

// The keys a tuning file could not hold, written at the nearest pitch it
// holds, in one line; empty when there are none.
std::string clamped_summary(const Reach& clamped);

// Every line of `text` after `prefix`.
std::string each_line(const std::string& prefix, const std::string& text);

// What was played out of tune or ended early, in one line; empty when
// nothing was.
std::string overflow_summary(const PolyReport& report);
// Notes of --adaptive --mts=keys that could not have their own pitch.
std::string key_sounding_summary(const NoteTuningReport& report);
// The bends written; then a line per source channel: notes, bends at once,
// channels, compromises.
// Without `bends_at_once`, the count of bends a source's notes needed at once is left out.
std::string poly_details(const PolyReport& report, bool bends_at_once = true);
// How in tune the notes sound together, in one line.
std::string intonation_text(const Intonation& intonation);

// The report for the file called `name`, as lines of text.
std::string analysis_text(const Analysis& analysis, const std::string& name);
// The same as one line of JSON.
std::string analysis_json(const Analysis& analysis, const std::string& name);
// One line of JSON for a file that could not be analysed.
std::string failure_json(const std::string& name, const std::string& message, int status);
// The lines that tell a user of the pitch bends that the file was retuned
// before, that chords or the file's own bends were played out of tune, or
// that the drums were bent, and what plays them right; empty when none of these.
std::string plain_method_hint(const Analysis& analysis);

// What the system refused the program (memory, most likely), as a line.
std::string system_failure(const std::exception& error);

// 1204 as "1,204".
std::string with_thousands(uint64_t n);

}  // namespace retune::driver
