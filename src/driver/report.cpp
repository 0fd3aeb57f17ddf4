#include "driver/report.h"

#include <new>
#include <vector>

#include "io/failure.h"
#include "smf/controllers.h"

namespace retune::driver {

namespace {
std::string number(uint64_t value) { return std::to_string(value); }
}

std::string channel_numbers(uint16_t channels, const char* separator) {
  std::string text;
  for (int c = 0; c < 16; ++c)
    if (channels >> c & 1) {
      if (!text.empty()) text += separator;
      text += std::to_string(c + 1);
    }
  return text;
}

std::string intonation_text(const Intonation& in) {
  std::string text = in.pairs == 0 ? std::string("no consonant pairs")
                                   : io::formatted("%.1f%% of ", 100 * in.purity()) + count(in.pairs, "consonant pair") +
                                         io::formatted(" within 2 cents of just (RMS %.2f, largest %.2f cents)",
                                                       in.rms, in.largest);
  if (in.octave_pairs)
    text += io::formatted("; unisons and octaves %.1f%% of %s", 100.0 * static_cast<double>(in.octaves_pure) /
                                                                    static_cast<double>(in.octave_pairs),
                          number(in.octave_pairs).c_str());
  text += io::formatted("; drift %+.2f cents; farthest from equal temperament %.2f cents", in.drift, in.farthest);
  if (in.bends_on_held_notes) text += "; " + count(in.bends_on_held_notes, "bend change") + " on sounding notes";
  return text;
}

namespace {

std::string intonation_json(const Intonation& in) {
  return io::formatted("{\"pairs\":%s,\"pure\":%s,\"purity\":%.4f,\"rms\":%.3f,\"largest\":%.3f,"
                       "\"octave_pairs\":%s,\"octaves_pure\":%s,\"drift\":%.3f,\"farthest\":%.3f,"
                       "\"bends_on_held_notes\":%s}",
                       number(in.pairs).c_str(), number(in.pure).c_str(), in.purity(), in.rms, in.largest,
                       number(in.octave_pairs).c_str(), number(in.octaves_pure).c_str(), in.drift, in.farthest,
                       number(in.bends_on_held_notes).c_str());
}

}  // namespace

std::string verbose_report(const FileReport& report, const Method& method) {
  if (report.plan) {
    const PlanFigures& plan = *report.plan;
    std::string text = "adaptive plan: " + count(plan.notes, "note") + ", " + count(plan.pairs, "pair") +
                       " sounding together with a just target, " + count(static_cast<uint64_t>(plan.iterations), "iteration");
    if (plan.clamped) text += ", " + count(plan.clamped, "note") + " held to 30 cents";
    text += "\n  intonation: " + intonation_text(report.intonation) + "\n  ";
    if (!method.poly) return text + count(report.note_tunings.changes, "single note tuning change") + " inserted\n";
    return text + poly_details(report.poly, false);
  }
  if (method.poly) return poly_details(report.poly);
  const Counts& counts = report.counts;
  std::string text = std::to_string(counts.bends) + " pitch-bend events inserted";
  if (!method.bends()) text += ", " + std::to_string(counts.tuning_messages) + " tuning messages";
  if (counts.moved_notes > 0) text += ", " + count(counts.moved_notes, "note") + " moved to the nearest key";
  return text + "\n";
}

std::string warnings(const FileReport& report) {
  return overflow_summary(report.poly) + reach_summary(report) + key_sounding_summary(report.note_tunings);
}

std::string key_sounding_summary(const NoteTuningReport& report) {
  if (report.key_sounding == 0) return "";
  return count(report.key_sounding, "note") +
         " shared a key with a note already sounding there and kept its tuning: a tuning change would have moved "
         "that note (--poly gives every note its own)\n";
}

std::string reach_summary(const FileReport& report) {
  const size_t keys = report.reach.beyond.count();
  if (keys == 0) return "";
  const uint64_t notes = report.counts.unreachable_notes + report.poly.unreachable;
  return count(keys, "key") + (keys == 1 ? " lies" : " lie") +
         io::formatted(" beyond the pitches this method reaches in MIDI's range, by up to %.1f cents: ",
                       report.reach.most_cents) +
         (notes ? count(notes, "note") + " played there sound at the nearest pitch it reaches\n"
                : "no note is played there\n");
}

std::string clamped_summary(const Reach& clamped) {
  const size_t keys = clamped.beyond.count();
  if (keys == 0) return "";
  return count(keys, "key") + (keys == 1 ? " lies" : " lie") +
         io::formatted(" beyond the pitches a bulk tuning dump holds (MIDI's 0 to 127.99 semitones), by up to %.1f "
                       "cents: written at the nearest it holds\n",
                       clamped.most_cents);
}

std::string each_line(const std::string& prefix, const std::string& text) {
  std::string lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size() - 1);
    lines += prefix + text.substr(start, end + 1 - start);
    start = end + 1;
  }
  return lines;
}

std::string overflow_summary(const PolyReport& report) {
  std::vector<std::string> parts;
  if (report.approximate > 0)
    parts.push_back(count(report.approximate, "note") +
                    io::formatted(" sounded with more different bends at once than there are channels: each went to "
                                  "the channel of its own channel's notes whose bend was nearest, at most %.1f cents off",
                                  report.max_cents_off));
  if (report.ended_early > 0)
    parts.push_back(count(report.ended_early, "note") + " ended early to free a channel for a note of another bend");
  if (report.dropped > 0)
    parts.push_back(count(report.dropped, "note") + " left out: every channel held the same key for another key's notes");
  if (report.small_ranges)
    parts.push_back(std::string(report.small_ranges & (report.small_ranges - 1) ? "channels " : "channel ") +
                    channel_numbers(report.small_ranges, ", ") +
                    " set a bend range too small for the tuning: their notes were bent within 2 semitones");
  if (report.one_sound)
    parts.push_back("channels with different programs sounded together, and an MPE zone has one sound: "
                    "--poly keeps the instruments apart");
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text.empty() ? text : text + "\n";
}

std::string poly_details(const PolyReport& report, bool bends_at_once) {
  std::string text = count(report.bends, "pitch-bend event") + " inserted";
  if (report.moved) text += ", " + count(report.moved, "note") + " moved to the nearest key";
  text += "\n";
  for (int s = 0; s < smf::gm::kChannels; ++s) {
    const PolyReport::Source& source = report.sources[s];
    if (source.notes == 0) continue;
    text += io::formatted("  channel %d: ", s + 1) + count(source.notes, "note");
    if (bends_at_once) text += ", up to " + count(static_cast<uint64_t>(source.most_bends), "bend") + " at once";
    text += ", on channels " + channel_numbers(source.channels, " ");
    const uint16_t borrowed = source.channels & static_cast<uint16_t>(~(1u << s));
    if (borrowed) text += " (borrowed: " + channel_numbers(borrowed, " ") + ")";
    if (source.approximate) text += ", " + std::to_string(source.approximate) + " placed approximately";
    if (source.ended_early) text += ", " + std::to_string(source.ended_early) + " ended early";
    if (source.dropped) text += ", " + std::to_string(source.dropped) + " left out";
    text += "\n";
  }
  return text;
}


namespace {



// The items shown one after the other, `separator` between them.
template <typename Items, typename Show>
std::string joined(const Items& items, const char* separator, Show show) {
  std::string text;
  bool first = true;
  for (const auto& item : items) {
    if (!first) text += separator;
    text += show(item);
    first = false;
  }
  return text;
}

std::string shown(int value) { return std::to_string(value); }

std::string channels_named(uint16_t channels) {
  return std::string(channels & (channels - 1) ? "channels " : "channel ") + channel_numbers(channels, ", ");
}

std::string division_text(uint16_t division) {
  if (!(division & 0x8000)) return number(division) + " ticks per quarter note";
  const int fps = -static_cast<int8_t>(division >> 8);
  return io::formatted("%s frames per second, %d ticks per frame", fps == 29 ? "29.97" : std::to_string(fps).c_str(),
                 division & 0xFF);
}

std::string range_text(const Analysis::RangeSetting& range) {
  std::string text = io::formatted("%d semitones", range.semitones);
  if (range.cents) text += io::formatted(" %d cents", range.cents);
  return text + " at tick " + number(range.tick);
}

std::string channel_text(int c, const Analysis::Channel& channel) {
  std::string text = io::formatted("  channel %d%s: ", c + 1, channel.skipped ? " (left alone)" : "");
  if (channel.notes)
    text += io::formatted("%s, at most %d at once, at most %s at once", count(channel.notes, "note").c_str(),
                    channel.most_sounding, count(channel.most_bends, "bend").c_str());
  else
    text += "no notes";
  if (channel.bends)
    text += io::formatted(", %s (%d to %d)", count(channel.bends, "pitch bend").c_str(), channel.lowest_bend,
                    channel.highest_bend);
  if (!channel.ranges.empty()) {
    text += ", bend range ";
    text += joined(channel.ranges, ", ", range_text);
  }
  if (!channel.programs.empty()) {
    text += channel.programs.size() > 1 ? ", programs " : ", program ";
    text += joined(channel.programs, ", ", shown);
  }
  return text + "\n";
}

// What the plain bends would play wrong; empty when nothing.
std::string plain_faults(const Analysis& analysis) {
  std::vector<std::string> faults;
  auto add = [&faults](uint16_t channels, const char* what) {
    if (channels) faults.push_back(std::string(what) + channels_named(channels));
  };
  add(analysis.chords, "chords on ");
  add(analysis.own_bends, "the file's own pitch bends on ");
  add(analysis.own_ranges, "its own bend range on ");
  return joined(faults, ", ", [](const std::string& fault) { return fault; });
}

// The tuning messages that both FluidSynth and TiMidity++ follow; the
// scale/octave ones of --mts only FluidSynth.
constexpr char kMtsAdvice[] = "--mts=keys on a synth with single-note tuning (FluidSynth, TiMidity++)";
constexpr char kDrumsAdvice[] = ", with --skip-drums to leave the drums on channel 10 unbent";

std::string advice_text(const Analysis& analysis) {
  const char* drums = analysis.drums ? kDrumsAdvice : "";
  if (analysis.advice == Analysis::Advice::kPlain)
    return io::formatted("the plain bends%s: no channel needs two bends at once, has bends of its own or sets another "
                   "bend range",
                   drums);
  const std::string why = " (the plain bends would play out of tune: " + plain_faults(analysis) + ")";
  if (analysis.advice == Analysis::Advice::kMts)
    return io::formatted("%s%s: more bends sound at once than --poly has channels%s", kMtsAdvice, drums, why.c_str());
  return io::formatted("--poly%s; or %s%s", why.c_str(), kMtsAdvice, drums);
}

const char* advice_name(const Analysis& analysis) {
  switch (analysis.advice) {
    case Analysis::Advice::kPoly:
      return "poly";
    case Analysis::Advice::kMts:
      return "mts=keys";
    default:
      return "plain";
  }
}

// The length of the well-formed UTF-8 sequence at text[i], or 0: no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
size_t utf8_length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return i + k < text.size() ? static_cast<uint8_t>(text[i + k]) : 0; };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || byte(1) < low || byte(1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(k) & 0xC0) != 0x80) return 0;
  return length;
}

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes that are no UTF-8 taken as Latin-1, so that any file name gives valid
// JSON.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += io::formatted("\\u%04x", c);
    } else if (c >= 0x80) {
      if (const size_t length = utf8_length(text, i)) {
        out.append(text, i, length);
        i += length;
        continue;
      }
      out += io::formatted("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string json_channels(uint16_t channels) {
  std::string text = "[";
  text += channel_numbers(channels, ",");
  return text + "]";
}

std::string channel_json(int c, const Analysis::Channel& channel) {
  std::string text = io::formatted(
      "{\"channel\":%d,\"left_alone\":%s,\"notes\":%s,\"most_sounding\":%d,\"most_bends\":%d,\"pitch_bends\":%s,",
      c + 1, channel.skipped ? "true" : "false", number(channel.notes).c_str(), channel.most_sounding,
      channel.most_bends, number(channel.bends).c_str());
  if (channel.bends)
    text += io::formatted("\"lowest_bend\":%d,\"highest_bend\":%d,", channel.lowest_bend, channel.highest_bend);
  else
    text += "\"lowest_bend\":null,\"highest_bend\":null,";
  text += "\"bends_in_play\":" + number(channel.bends_in_play) + ",\"bend_ranges\":[";
  text += joined(channel.ranges, ",", [](const Analysis::RangeSetting& range) {
    return io::formatted("{\"tick\":%s,\"semitones\":%d,\"cents\":%d}", number(range.tick).c_str(), range.semitones,
                   range.cents);
  });
  return text + "],\"programs\":[" + joined(channel.programs, ",", shown) + "]}";
}

}  // namespace

std::string analysis_text(const Analysis& analysis, const std::string& name) {
  std::string text = io::formatted("%s: format %d, %s track%s, %s, length %s ticks", name.c_str(), analysis.format,
                             number(analysis.tracks).c_str(), analysis.tracks == 1 ? "" : "s",
                             division_text(analysis.division).c_str(), number(analysis.length_ticks).c_str());
  if (analysis.length_seconds >= 0) text += io::formatted(" (%.3f s)", analysis.length_seconds);
  text += "\n";
  bool any = false;
  for (int c = 0; c < smf::gm::kChannels; ++c)
    if (analysis.channels[c].used()) {
      text += channel_text(c, analysis.channels[c]);
      any = true;
    }
  if (!any) text += "  no notes\n";
  text += io::formatted("  all channels: at most %s at once; --poly has %d channels\n",
                  count(analysis.most_pairs, "bend").c_str(), analysis.poly_channels);
  text += "  resets: ";
  text += analysis.resets.empty() ? "none" : joined(analysis.resets, ", ", [](const Analysis::Reset& reset) {
    return io::formatted("%s at tick %s", reset.kind, number(reset.tick).c_str());
  });
  text += "\n";
  if (analysis.intonation.pairs || analysis.intonation.bends_on_held_notes)
    text += "  intonation: " + intonation_text(analysis.intonation) + "\n";
  return text + "  recommended: " + advice_text(analysis) + "\n";
}

std::string analysis_json(const Analysis& analysis, const std::string& name) {
  std::string text = io::formatted("{\"file\":%s,\"format\":%d,\"division\":%d,\"tracks\":%s,\"length\":{\"ticks\":%s,",
                             json_string(name).c_str(), analysis.format, analysis.division,
                             number(analysis.tracks).c_str(), number(analysis.length_ticks).c_str());
  text += analysis.length_seconds >= 0 ? io::formatted("\"seconds\":%.3f}", analysis.length_seconds) : "\"seconds\":null}";
  std::vector<int> used;
  for (int c = 0; c < smf::gm::kChannels; ++c)
    if (analysis.channels[c].used()) used.push_back(c);
  text += ",\"channels\":[" + joined(used, ",", [&](int c) { return channel_json(c, analysis.channels[c]); });
  text += "],\"resets\":[" + joined(analysis.resets, ",", [](const Analysis::Reset& reset) {
    return io::formatted("{\"tick\":%s,\"kind\":\"%s\"}", number(reset.tick).c_str(), reset.kind);
  });
  text += io::formatted("],\"most_bends\":%d,\"poly_channels\":%d,\"recommendation\":{\"method\":\"%s\",",
                  analysis.most_pairs, analysis.poly_channels, advice_name(analysis));
  text += "\"chords\":" + json_channels(analysis.chords) + ",\"own_bends\":" + json_channels(analysis.own_bends) +
          ",\"own_ranges\":" + json_channels(analysis.own_ranges);
  text += io::formatted(",\"drums\":%s,\"mts_fits\":%s}", analysis.drums ? "true" : "false",
                  analysis.mts_fits ? "true" : "false");
  text += ",\"intonation\":" + intonation_json(analysis.intonation) + "}\n";
  return text;
}

std::string plain_method_hint(const Analysis& analysis) {
  std::string text;
  if (analysis.retuned_before())
    text += std::string("retune: this file looks retuned already (") +
            (analysis.starts_tuned ? "it starts with a tuning message" : "a pitch bend follows every note-on") +
            "): a second retuning adds its tuning to the first; --poly --in-bends ignore drops the file's bends "
            "first\n";
  uint64_t chord_notes = 0;
  uint64_t file_bends = 0;
  for (int c = 0; c < smf::gm::kChannels; ++c) {
    if (analysis.chords >> c & 1) chord_notes += analysis.channels[c].chord_notes;
    if (analysis.own_bends >> c & 1) file_bends += analysis.channels[c].bends_in_play;
  }
  std::vector<std::string> faults;
  if (chord_notes) faults.push_back("chords (" + count(chord_notes, "note") + ")");
  if (file_bends && !analysis.retuned_before())
    faults.push_back("the file's own pitch bends (" + number(file_bends) + ")");
  const char* drums = analysis.drums ? kDrumsAdvice : "";
  if (!faults.empty())
    text += "retune: " + joined(faults, " and ", [](const std::string& fault) { return fault; }) +
            " play out of tune with these bends: --poly plays them in tune on any General MIDI synth, " + kMtsAdvice +
            drums + "\n";
  else if (analysis.drums)
    text += "retune: the drums on channel 10 were bent with the tuning: --skip-drums leaves them alone\n";
  return text;
}

std::string system_failure(const std::exception& error) {
  const bool memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
  return std::string(memory ? "out of memory" : error.what()) + "\n";
}

std::string failure_json(const std::string& name, const std::string& message, int status) {
  std::string line = message;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return io::formatted("{\"file\":%s,\"error\":%s,\"status\":%d}\n", json_string(name).c_str(),
                 json_string(line).c_str(), status);
}


std::string with_thousands(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

}  // namespace retune::driver
