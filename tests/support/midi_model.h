// A file as tracks of events, read with the program's own event reader
// (whose grammar the reader's literal tests, the golden files and midicsv
// pin down), and the check that an output is exactly its input with the
// expected events inserted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "retune/messages.h"
#include "retune/retune.h"
#include "smf_builder.h"

namespace smf_test {

struct Event {
  std::string delta;
  bool has_status = false;
  uint8_t status = 0;  // the governing status, explicit or running
  std::string data;    // every byte after the status (or the running data)

  bool operator==(const Event&) const = default;
};

struct Track {
  std::string aliens;  // the alien chunks before the track, whole
  uint32_t declared = 0;
  uint64_t walked = 0;  // event bytes actually read
  std::vector<Event> events;
};

struct Model {
  std::string header;  // the 14 header bytes
  std::vector<Track> tracks;
  std::string tail;   // whatever follows the last track
  std::string error;  // empty when the file parsed
};

class ModelReader {
 public:
  explicit ModelReader(std::string_view bytes) : bytes_(bytes) {}

  Model parse() {
    Model m;
    try {
      if (take(4) != "MThd" || u32() != 6) throw std::string("header");
      pos_ -= 8;
      m.header = std::string(take(14));
      const unsigned ntracks = (static_cast<uint8_t>(m.header[10]) << 8) | static_cast<uint8_t>(m.header[11]);
      if (ntracks > 1024) throw std::string("too many tracks");
      for (unsigned t = 0; t < ntracks; ++t) {
        Track track;
        for (std::string_view type = take(4); type != "MTrk"; type = take(4)) {
          for (char c : type)
            if (c < 0x20 || c > 0x7E) throw std::string("track header");
          const size_t start = pos_ - 4;
          take(u32());
          track.aliens += bytes_.substr(start, pos_ - start);
        }
        track.declared = u32();
        const size_t start = pos_;
        while (static_cast<int64_t>(pos_ - start) < static_cast<int32_t>(track.declared))
          track.events.push_back(event());
        track.walked = pos_ - start;
        m.tracks.push_back(std::move(track));
      }
    } catch (const std::string& what) {
      m.error = what;
    }
    if (m.error.empty()) m.tail = bytes_.substr(pos_);
    return m;
  }

 private:
  uint8_t byte() {
    if (pos_ >= bytes_.size()) throw std::string("end of input");
    return static_cast<uint8_t>(bytes_[pos_++]);
  }
  std::string_view take(size_t n) {
    if (bytes_.size() - pos_ < n) throw std::string("end of input");
    pos_ += n;
    return bytes_.substr(pos_ - n, n);
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
  Event event() {
    const auto* const start = reinterpret_cast<const uint8_t*>(bytes_.data());
    retune::smf::Event read;
    try {
      if (!reader_.read(start + pos_, start + bytes_.size(), read)) throw std::string("end of input");
    } catch (const retune::io::Failure& failure) {
      throw failure.message();
    }
    const size_t status_size = read.running ? 0 : 1;
    Event e;
    e.delta = std::string(take(read.delta_size));
    take(status_size);
    e.has_status = !read.running;
    e.status = read.status;
    e.data = std::string(take(read.size() - read.delta_size - status_size));
    return e;
  }

  std::string_view bytes_;
  size_t pos_ = 0;
  retune::smf::EventReader reader_;
};

inline Model parse_model(std::string_view bytes) { return ModelReader(bytes).parse(); }

inline Event make_event(std::string_view bytes) {
  Event e;
  e.delta = std::string(bytes.substr(0, 1));
  e.has_status = true;
  e.status = static_cast<uint8_t>(bytes[1]);
  e.data = std::string(bytes.substr(2));
  return e;
}

// The setup retune inserts at the start of a sequence and after every reset.
inline std::vector<Event> expected_prelude(const retune::Tuning& cent, const retune::Method& method) {
  std::vector<Event> events;
  if (method.declare_bend_range)
    for (int ch = 0; ch < 16; ++ch) {
      if (method.skips(ch)) continue;
      const char s = static_cast<char>(0xB0 | ch);
      for (auto [c, v] : {std::pair<int, int>{0x65, 0}, {0x64, 0}, {0x06, method.bend_range}, {0x26, 0}, {0x65, 0x7F}, {0x64, 0x7F}})
        events.push_back(make_event(std::string{0, s, static_cast<char>(c), static_cast<char>(v)}));
    }
  if (method.mts) {
    unsigned mask = 0;
    for (int ch = 0; ch < 16; ++ch)
      if (!method.skips(ch)) mask |= 1u << ch;
    std::string m = hex("00 F0 20 7F 7F 08 09");
    m += static_cast<char>(mask >> 14);
    m += static_cast<char>((mask >> 7) & 0x7F);
    m += static_cast<char>(mask & 0x7F);
    for (double c : cent) {
      const int v = retune::bend_value(c, 1);
      m += static_cast<char>(v >> 7);
      m += static_cast<char>(v & 0x7F);
    }
    m += '\xF7';
    events.push_back(make_event(m));
  }
  if (method.tunes_keys()) {
    // The bytes are checked literally elsewhere; here only where they go.
    const retune::KeyTable table = retune::KeyTable::from_pitch_classes(cent);
    const retune::Bytes keys = method.mts_keys ? retune::single_note_tuning(table)
                                               : retune::sysex_event(retune::bulk_tuning_dump(table));
    const retune::Bytes selection = retune::tuning_program_selection(method);
    std::string bytes(keys.begin(), keys.end());
    bytes.append(selection.begin(), selection.end());
    events = parse_model(smf({bytes}, 0)).tracks.at(0).events;
  }
  return events;
}

inline bool is_reset_message(std::string_view m) {
  auto is = [&](std::string_view want, bool low) {
    if (m.size() != want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i) {
      const auto got = static_cast<uint8_t>(m[i]);
      if (i == 1) {
        if (low && (got & 0xF0) != 0x10) return false;
      } else if (got != static_cast<uint8_t>(want[i])) {
        return false;
      }
    }
    return true;
  };
  return is(hex("7E 00 09 01 F7"), false) || is(hex("7E 00 09 03 F7"), false) ||
         is(hex("41 00 42 12 40 00 7F 00 41 F7"), false) || is(hex("43 10 4C 00 00 7E 00 F7"), true);
}

// Follows system-exclusive packets (F0, F7 continuations, F7 escapes that
// start with F0) and tells when one completes a reset.
class ResetSpotter {
 public:
  bool completes_reset(const Event& e) {
    if (e.status != 0xF0 && e.status != 0xF7) return false;
    size_t length_size = 1;  // the payload follows its length
    while (e.data[length_size - 1] & 0x80) ++length_size;
    const std::string body = e.data.substr(length_size);
    if (e.status == 0xF0 || (!body.empty() && body[0] == '\xF0')) {
      message_ = e.status == 0xF0 ? body : body.substr(1);
      joining_ = true;
    } else if (joining_ && message_.size() <= kKept) {
      message_ += body;
    } else {
      return false;
    }
    // retune keeps 16 bytes of a message; a longer one stays open until the next.
    if (message_.size() > kKept || message_.empty() || message_.back() != '\xF7') return false;
    joining_ = false;
    return is_reset_message(message_);
  }
  bool in_message() const { return joining_; }

 private:
  static constexpr size_t kKept = 16;
  std::string message_;
  bool joining_ = false;
};

// Empty when `output` is `input` retuned by `cent` and `method`: the same
// events, each note-on followed by its pitch bend, a running-status event
// after an inserted one given its status byte, every track's length exact.
inline std::string check_retuned(std::string_view input, std::string_view output, const retune::Tuning& cent,
                                 const retune::Method& method = {}) {
  const Model in = parse_model(input);
  const Model out = parse_model(output);
  if (!in.error.empty()) return "input does not parse: " + in.error;
  if (!out.error.empty()) return "output does not parse: " + out.error;
  if (in.tail != out.tail) return "bytes after the last track changed";
  if (in.header != out.header) return "header changed";
  if (in.tracks.size() != out.tracks.size()) return "track count changed";
  const bool has_setup = !method.bends() || method.declare_bend_range;
  const auto setup = expected_prelude(cent, method);
  const bool independent = in.header[8] == 0 && in.header[9] == 2;  // format 2, both bytes of the field
  bool after_insert = false;
  for (size_t t = 0; t < in.tracks.size(); ++t) {
    const Track& ti = in.tracks[t];
    const Track& to = out.tracks[t];
    const std::string where = "track " + std::to_string(t) + ": ";
    if (to.walked != to.declared) return where + "declared length differs from content";
    if (to.aliens != ti.aliens) return where + "alien chunks changed";
    size_t j = 0;
    auto expect = [&](const Event& want) -> bool {
      if (j >= to.events.size() || !(to.events[j] == want)) return false;
      ++j;
      after_insert = true;
      return true;
    };
    auto expect_setup = [&] {
      for (const Event& e : setup)
        if (!expect(e)) return false;
      return true;
    };
    bool pending = has_setup && (t == 0 || independent);
    ResetSpotter resets;
    for (size_t i = 0; i < ti.events.size(); ++i) {
      const Event& e = ti.events[i];
      // Only meta events but the end of a track, and system-exclusive
      // events, at the first tick may stand before the setup; nothing comes
      // between the packets of a system-exclusive message.
      const bool first_tick = std::all_of(e.delta.begin(), e.delta.end(), [](char c) { return (c & 0x7F) == 0; });
      const bool may_precede = !method.mts && ((e.status == 0xF0 || e.status == 0xF7)
                                                   ? first_tick || resets.in_message()
                                                   : first_tick && e.status == 0xFF && e.data[0] != 0x2F);
      if (pending && !may_precede) {
        if (!expect_setup()) return where + "setup missing before event " + std::to_string(i);
        pending = false;
      }
      Event want = e;
      if (!e.has_status && after_insert) want.has_status = true;
      if (j >= to.events.size() || !(to.events[j] == want)) return where + "event " + std::to_string(i) + " changed";
      ++j;
      after_insert = false;
      const int channel = e.status & 0x0F;
      if ((e.status & 0xF0) == 0x90 && method.bends() && !method.skips(channel)) {
        uint8_t lsb, msb;
        retune::getPitch(lsb, msb, static_cast<uint8_t>(e.data[0]), cent, method.bend_range);
        if (!expect(make_event(std::string{0, static_cast<char>(0xE0 | channel), static_cast<char>(lsb),
                                           static_cast<char>(msb)})))
          return where + "no pitch bend after note-on " + std::to_string(i);
      } else if (has_setup && resets.completes_reset(e)) {
        if (!expect_setup()) return where + "no setup after reset " + std::to_string(i);
        pending = false;
      }
    }
    if (pending && !expect_setup()) return where + "setup missing at the end";
    if (j != to.events.size()) return where + "extra events";
  }
  return "";
}

}  // namespace smf_test
