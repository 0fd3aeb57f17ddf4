// A file as tracks of events, read with the program's own event reader
// (whose grammar the reader's literal tests, the golden files and midicsv
// pin down), and the check that an output is exactly its input with the
// expected events inserted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
  uint32_t declared = 0;
  uint64_t walked = 0;  // event bytes actually read
  std::vector<Event> events;
};

struct Model {
  std::string header;  // the 14 header bytes
  std::vector<Track> tracks;
  size_t consumed = 0;  // bytes up to the end of the last track
  std::string error;    // empty when the file parsed
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
        if (take(4) != "MTrk") throw std::string("track header");
        Track track;
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
    m.consumed = pos_;
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

// The events retune puts at the start of the first track.
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
  return events;
}

inline bool is_reset_sysex(const Event& e) {
  if (e.status != 0xF0 || !e.has_status) return false;
  const std::string d = e.data;  // length byte, then the body
  auto body = [&](std::string_view want, int any_at, bool low) {
    if (d.size() != want.size() + 1 || static_cast<uint8_t>(d[0]) != want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i) {
      const auto got = static_cast<uint8_t>(d[i + 1]);
      if (static_cast<int>(i) == any_at) {
        if (low && (got & 0xF0) != 0x10) return false;
        continue;
      }
      if (got != static_cast<uint8_t>(want[i])) return false;
    }
    return true;
  };
  return body(hex("7E 00 09 01 F7"), 1, false) || body(hex("7E 00 09 03 F7"), 1, false) ||
         body(hex("41 00 42 12 40 00 7F 00 41 F7"), 1, false) || body(hex("43 10 4C 00 00 7E 00 F7"), 1, true);
}

// Empty when `output` is `input` retuned by `cent` and `method`: the same
// events, each note-on followed by its pitch bend, a running-status event
// after an inserted one given its status byte, every track's length exact.
inline std::string check_retuned(std::string_view input, std::string_view output, const retune::Tuning& cent,
                                 const retune::Method& method = {}) {
  const Model in = parse_model(input);
  const Model out = parse_model(output);
  if (!in.error.empty()) return "input does not parse: " + in.error;
  if (!out.error.empty()) return "output does not parse: " + out.error;
  if (out.consumed != output.size()) return "output has bytes after its last track";
  if (in.header != out.header) return "header changed";
  if (in.tracks.size() != out.tracks.size()) return "track count changed";
  bool after_insert = false;
  for (size_t t = 0; t < in.tracks.size(); ++t) {
    const Track& ti = in.tracks[t];
    const Track& to = out.tracks[t];
    const std::string where = "track " + std::to_string(t) + ": ";
    if (to.walked != to.declared) return where + "declared length differs from content";
    size_t j = 0;
    auto expect = [&](const Event& want) -> bool {
      if (j >= to.events.size() || !(to.events[j] == want)) return false;
      ++j;
      after_insert = true;
      return true;
    };
    if (t == 0)
      for (const Event& e : expected_prelude(cent, method))
        if (!expect(e)) return where + "prelude missing";
    for (size_t i = 0; i < ti.events.size(); ++i) {
      const Event& e = ti.events[i];
      Event want = e;
      if (!e.has_status && after_insert) want.has_status = true;
      if (j >= to.events.size() || !(to.events[j] == want)) return where + "event " + std::to_string(i) + " changed";
      ++j;
      after_insert = false;
      const int channel = e.status & 0x0F;
      if ((e.status & 0xF0) == 0x90 && !method.mts && !method.skips(channel)) {
        uint8_t lsb, msb;
        retune::getPitch(lsb, msb, static_cast<uint8_t>(e.data[0]), cent, method.bend_range);
        if (!expect(make_event(std::string{0, static_cast<char>(0xE0 | channel), static_cast<char>(lsb),
                                           static_cast<char>(msb)})))
          return where + "no pitch bend after note-on " + std::to_string(i);
      } else if (method.mts && is_reset_sysex(e)) {
        if (!expect(expected_prelude(cent, {.mts = true, .skipped_channels = method.skipped_channels}).back()))
          return where + "no tuning message after reset " + std::to_string(i);
      }
    }
    if (j != to.events.size()) return where + "extra events";
  }
  return "";
}

}  // namespace smf_test
