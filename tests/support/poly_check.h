// An independent check of the polyphonic mode's output against its input,
// with a MIDI reader of its own: every input note is played once, on some
// channel, at its ticks, in its track, with its velocity, on its key or, when
// the bends cannot reach its offset, on the nearest key; the bend in force on
// that channel is the note's own (the file's bend on its source plus what is
// left of the key's offset, on the user's range, the file's, or two semitones
// where the file's falls short) at its start and at every change while it
// sounds; its polyphonic aftertouch follows it; the channel holds its source's
// program and whatever the source was sent of controllers, channel pressure
// and parameters; everything that is no note message of a retuned channel is
// unchanged; no note-on is left without its note-off that was not so in the
// input. Notes that start while more different (source, 14-bit bend) pairs
// sound than there are channels may be off or missing.
// As an MPE zone: channel 10 is a source unless it holds drum notes; the
// notes play on the members (channel 2 up to the one before the first that
// passes through), which hold each note's bend, range and pressure; manager
// channel 1 holds what all sources were sent of programs, controllers and
// parameters, in the order they came: the zone's settings.
#pragma once

#include <algorithm>
#include <array>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <map>
#include <queue>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace poly_check {

struct Event {
  uint64_t tick = 0;
  uint8_t status = 0;
  uint8_t data[2] = {};
  std::string body;  // meta and system events: the bytes after the status

  bool is_channel() const { return status < 0xF0; }
  int channel() const { return status & 0x0F; }
  int kind() const { return status & 0xF0; }
  bool operator==(const Event& o) const {
    return tick == o.tick && status == o.status && data[0] == o.data[0] && data[1] == o.data[1] && body == o.body;
  }
};

struct Smf {
  std::string header;               // the 14 bytes
  std::vector<std::vector<Event>> tracks;
  std::string others;               // other chunks and trailing bytes, each after its track count
  std::string error;
};

// Reads by the grammar the program reads by: running status carries across
// tracks and after any status byte; chunks of another type are skipped.
inline Smf read_smf(std::string_view bytes) {
  Smf smf;
  size_t pos = 0;
  uint8_t running = 0;
  auto need = [&](size_t n) {
    if (bytes.size() - pos < n) throw std::string("end of input");
  };
  auto byte = [&]() -> uint8_t {
    need(1);
    return static_cast<uint8_t>(bytes[pos++]);
  };
  auto u32 = [&] {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  };
  auto vlq = [&] {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const uint8_t b = byte();
      v = v << 7 | (b & 0x7F);
      if (!(b & 0x80)) return v;
    }
    throw std::string("bad quantity");
  };
  try {
    need(14);
    smf.header = std::string(bytes.substr(0, 14));
    if (smf.header.compare(0, 8, std::string("MThd\0\0\0\6", 8)) != 0) throw std::string("header");
    const unsigned ntracks = static_cast<uint8_t>(smf.header[10]) << 8 | static_cast<uint8_t>(smf.header[11]);
    pos = 14;
    while (smf.tracks.size() < ntracks) {
      need(4);
      const std::string_view type = bytes.substr(pos, 4);
      pos += 4;
      if (type != "MTrk") {
        for (char c : type)
          if (c < 0x20 || c > 0x7E) throw std::string("track header");
        const uint32_t length = u32();
        need(length);
        smf.others += std::to_string(smf.tracks.size()) + ":" + std::string(bytes.substr(pos - 8, 8 + length));
        pos += length;
        continue;
      }
      const int64_t declared = static_cast<int32_t>(u32());
      const size_t start = pos;
      std::vector<Event> events;
      uint64_t tick = 0;
      while (static_cast<int64_t>(pos - start) < declared) {
        Event e;
        tick += vlq();
        e.tick = tick;
        uint8_t b = byte();
        const bool has_status = b & 0x80;
        if (has_status) running = b;
        else if (!running) throw std::string("no running status");
        e.status = running;
        auto first = [&] { return has_status ? byte() : b; };
        if (e.status == 0xF8 || (e.status >= 0xFA && e.status <= 0xFC)) {
        } else if (e.status == 0xFF) {
          const uint8_t type_byte = first();
          const uint32_t n = vlq();
          need(n);
          e.body = std::string(1, static_cast<char>(type_byte)) + std::to_string(n) + ":" + std::string(bytes.substr(pos, n));
          pos += n;
        } else if (e.status == 0xF0 || e.status == 0xF7) {
          if (!has_status) --pos;
          const uint32_t n = vlq();
          need(n);
          e.body = std::string(bytes.substr(pos, n));
          pos += n;
        } else if (e.status >= 0xF0) {
          e.body = std::string(1, static_cast<char>(first()));
        } else {
          e.data[0] = first();
          if (e.kind() != 0xC0 && e.kind() != 0xD0) e.data[1] = byte();
        }
        events.push_back(std::move(e));
      }
      smf.tracks.push_back(std::move(events));
    }
    if (pos < bytes.size()) smf.others += "end:" + std::string(bytes.substr(pos));
  } catch (const std::string& what) {
    smf.error = what;
  }
  return smf;
}

struct Options {
  std::array<double, 128> offset{};  // cents, per key
  int bend_range = 0;                // the user's; 0: the file's own
  uint16_t skipped = 0;              // bit n: channel n
  bool ignore_bends = false;
  bool mpe = false;
};

struct Result {
  std::string problem;  // empty when the output is right
  uint64_t notes = 0;
  uint64_t off = 0;      // notes out of tune (allowed by an overflow)
  uint64_t missing = 0;  // notes left out (allowed by an overflow)
  double max_cents_off = 0;
};

// What the checks compare of a channel, source or output. What a channel was
// never sent is left to the synthesizer's defaults: an output must hold what
// its source was sent, and may hold more. Reset-all-controllers sends the
// values it resets.
struct Settings {
  int bend = 8192;
  int range[2] = {2, 0};  // registered parameter 0, kept apart: an output's is the one expected for it
  int program = 0, pressure = 0;
  bool pressure_sent = false;
  std::array<uint8_t, 120> controllers{};
  std::bitset<120> sent;          // controllers the channel was sent
  std::map<int, int> parameters;  // 14-bit values by nrpn << 14 | msb << 7 | lsb
  std::map<int, int> halves;      // of each: bit 1 its MSB was sent, bit 0 its LSB

  bool operator==(const Settings&) const = default;
  double range_semitones() const { return range[0] + range[1] / 100.0; }
};

// Data entry, its increments and the parameter numbers: no setting of their own.
inline bool is_parameter_control(int controller) {
  return controller == 6 || controller == 38 || (controller >= 96 && controller <= 101);
}

// The first thing an output channel's settings lack of those wanted: the bend,
// the range and the program always, the rest where the source was sent it
// (-1: the output was not).
inline std::string differs(const Settings& got, const Settings& want) {
  auto is = [](const std::string& what, int g, int w) {
    return what + " " + std::to_string(g) + ", not " + std::to_string(w);
  };
  if (got.bend != want.bend) return is("bend", got.bend, want.bend);
  if (got.range[0] != want.range[0] || got.range[1] != want.range[1])
    return is("bend range (cents)", got.range[0] * 100 + got.range[1], want.range[0] * 100 + want.range[1]);
  if (got.program != want.program) return is("program", got.program, want.program);
  if (want.pressure_sent && (!got.pressure_sent || got.pressure != want.pressure))
    return is("channel pressure", got.pressure_sent ? got.pressure : -1, want.pressure);
  for (int c = 0; c < 120; ++c)
    if (want.sent[c] && (!got.sent[c] || got.controllers[c] != want.controllers[c]))
      return is("controller " + std::to_string(c), got.sent[c] ? got.controllers[c] : -1, want.controllers[c]);
  for (const auto& [id, value] : want.parameters) {
    const auto it = got.parameters.find(id);
    const int sent = want.halves.at(id), mask = (sent & 2 ? 0x3F80 : 0) | (sent & 1 ? 0x7F : 0);
    const auto got_sent = got.halves.find(id);
    if (it == got.parameters.end() || (got_sent->second & sent) != sent || (it->second & mask) != (value & mask))
      return is(std::string(id >> 14 ? "NRPN " : "RPN ") + std::to_string(id >> 7 & 127) + "/" + std::to_string(id & 127),
                it == got.parameters.end() ? -1 : it->second, value);
  }
  return "";
}

class Checker {
 public:
  Checker(const Options& options) : options_(options) {}

  Result check(std::string_view input, std::string_view output) {
    const Smf in = read_smf(input), out = read_smf(output);
    if (!in.error.empty()) return fail("input does not parse: " + in.error);
    if (!out.error.empty()) return fail("output does not parse: " + out.error);
    if (in.header != out.header) return fail("header changed");
    if (in.tracks.size() != out.tracks.size()) return fail("track count changed");
    if (in.others != out.others) return fail("other chunks or trailing bytes changed");
    for (const auto& track : in.tracks)
      for (const Event& e : track) drums_ = drums_ || (e.status == 0x99 && e.data[1] > 0);
    drums_ = drums_ || !options_.mpe;
    while (options_.mpe && members_ + 1 < 16 && !passes_through(members_ + 1)) ++members_;
    for (size_t t = 0; t < in.tracks.size(); ++t)
      if (kept(in.tracks[t]) != kept(out.tracks[t]))
        return fail("track " + std::to_string(t) + ": events other than retuned channel messages changed");
    const bool independent = static_cast<uint8_t>(in.header[9]) == 2 && in.header[8] == 0;
    if (independent) {
      for (size_t t = 0; t < in.tracks.size(); ++t) timeline(in, out, {t});
    } else {
      std::vector<size_t> all(in.tracks.size());
      for (size_t t = 0; t < all.size(); ++t) all[t] = t;
      timeline(in, out, all);
    }
    return result_;
  }

 private:
  struct Step {
    uint64_t tick;
    size_t track;
    const Event* event;
  };
  struct Snapshot {
    uint64_t tick;
    size_t seq;
    Settings settings;
  };
  using History = std::vector<Snapshot>;  // per channel, in order
  static constexpr int kZone = 16;          // an MPE zone's settings, after the channels'
  using Histories = std::array<History, 17>;
  struct Note {
    int channel, key, velocity;
    size_t track, off_track = SIZE_MAX;
    uint64_t on_tick, off_tick = UINT64_MAX, end_tick = UINT64_MAX;
    size_t on_seq, end_seq = SIZE_MAX;
    int played = key;   // the key it sounds on in the output
    double cents = 0;   // what its bend adds to the file's
    int units = 0;      // what its tuning adds to the bend: notes with equal ones share a channel
  };
  struct Pressure {
    size_t seq;
    uint64_t tick;
    int channel, key, value;
  };

  Result fail(std::string problem) {
    if (result_.problem.empty()) result_.problem = std::move(problem);
    return result_;
  }
  bool passes_through(int channel) const { return (channel == 9 && drums_) || (options_.skipped >> channel & 1); }
  // Events the mode leaves as they are: all but the well-formed channel
  // messages of the channels it retunes.
  bool is_kept(const Event& e) const {
    return !e.is_channel() || passes_through(e.channel()) || ((e.data[0] | e.data[1]) & 0x80);
  }
  std::vector<Event> kept(const std::vector<Event>& events) const {
    std::vector<Event> k;
    for (const Event& e : events)
      if (is_kept(e)) k.push_back(e);
    return k;
  }
  // Whether a GM, GM2, GS or XG reset ends with `e`: a system-exclusive
  // message whole in an F0 event, in packets (an F0 event, then F7 events
  // that continue it up to one that ends with F7), or escaped in F7 events
  // from its F0 on. `joined` holds a track's message so far, `joining`
  // whether one is open.
  static bool ends_reset(const Event& e, std::string& joined, bool& joining) {
    if (e.status == 0xF0 || (e.status == 0xF7 && !e.body.empty() && e.body[0] == '\xF0')) {
      joined = e.status == 0xF0 ? e.body : e.body.substr(1);
      joining = true;
    } else if (e.status == 0xF7 && joining) {
      joined += e.body;
    } else {
      return false;
    }
    if (joined.empty() || joined.back() != '\xF7') return false;
    joining = false;
    auto is = [&](std::initializer_list<int> want) {
      if (joined.size() != want.size()) return false;
      size_t i = 0;
      for (int w : want) {
        const auto got = static_cast<uint8_t>(joined[i++]);
        if (w == -2 ? (got & 0xF0) != 0x10 : (w >= 0 && got != w)) return false;
      }
      return true;
    };
    return is({0x7E, -1, 0x09, 0x01, 0xF7}) || is({0x7E, -1, 0x09, 0x03, 0xF7}) ||
           is({0x41, -1, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}) ||
           is({0x43, -2, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7});
  }
  static std::vector<Step> merge(const Smf& smf, const std::vector<size_t>& tracks) {
    std::vector<Step> steps;
    for (size_t t : tracks)
      for (const Event& e : smf.tracks[t]) steps.push_back({e.tick, t, &e});
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return std::tie(a.tick, a.track) < std::tie(b.tick, b.track); });
    return steps;
  }

  // Walks a timeline: the settings of every channel as they change, and its
  // notes, paired first on first off per channel and key, ended by resets,
  // all notes off and all sound off, and in the input kept sounding by the
  // sustain pedal, or by the sostenuto pedal that caught them. Returns how many note-ons are left without a note-off when paired
  // by the note messages alone, resets, mode messages and pedal aside.
  size_t walk(const std::vector<Step>& steps, bool is_input, Histories& history, std::vector<Note>& notes,
              std::vector<Pressure>& pressures) {
    std::array<Settings, 17> now;
    // The parameter data entry goes to: RPN MSB, LSB, NRPN MSB, LSB, and
    // whether the non-registered one was selected last; 127/127 is none.
    std::array<std::array<int, 4>, 17> number;
    std::array<bool, 17> nrpn{};
    for (auto& n : number) n.fill(127);
    std::array<std::array<std::vector<size_t>, 128>, 16> open;  // awaiting their note-off
    std::array<std::vector<size_t>, 16> held;                   // waiting for the pedals
    std::array<std::vector<size_t>, 16> caught;                 // by the sostenuto pedal, their keys down
    std::array<std::array<size_t, 128>, 16> unended{};          // by the messages alone
    for (int c = 0; c <= kZone; ++c) history[c] = {{0, 0, now[c]}};
    std::map<size_t, std::pair<std::string, bool>> sysex;  // per track: the message joined so far, open
    auto end = [&](size_t n, uint64_t tick, size_t seq) {
      notes[n].end_tick = tick;
      notes[n].end_seq = seq;
    };
    // A controller's change of the settings of channel `k` (or of the zone).
    auto control = [&](int k, int d1, int d2) {
      Settings& t = now[k];
      if (d1 < 120 && !is_parameter_control(d1)) t.controllers[d1] = static_cast<uint8_t>(d2), t.sent[d1] = true;
      if (d1 >= 98 && d1 <= 101) number[k][101 - d1] = d2, nrpn[k] = d1 < 100;
      const int msb = number[k][2 * nrpn[k]], lsb = number[k][2 * nrpn[k] + 1];
      if ((d1 == 6 || d1 == 38 || d1 == 96 || d1 == 97) && !(msb == 127 && lsb == 127)) {
        // Increments step the LSB, but the MSB of coarse tuning and the
        // tuning program and bank (RPN 2-4), after MMA RP-018.
        const int id = nrpn[k] << 14 | msb << 7 | lsb, step = id >= 2 && id <= 4 ? 128 : 1;
        // A parameter not yet set holds what a synthesizer starts with:
        // modulation depth range 50 cents, the others centred.
        const auto known = t.parameters.find(id);
        int value = id == 0                       ? t.range[0] << 7 | t.range[1]
                    : known != t.parameters.end() ? known->second
                    : id == 5                     ? 64
                                                  : 64 << 7;
        value = d1 == 6 ? d2 << 7 | (value & 127) : d1 == 38 ? (value & ~127) | d2 : value + (d1 == 96 ? step : -step);
        value = std::clamp(value, 0, 16383);
        if (id == 0) t.range[0] = value >> 7, t.range[1] = value & 127;
        else t.parameters[id] = value, t.halves[id] |= d1 == 6 ? 2 : d1 == 38 ? 1 : 3;
      }
      if (d1 == 121) {
        t.pressure = 0, t.pressure_sent = true, t.bend = 8192;
        for (int cc : {1, 11, 64, 65, 66, 67}) t.controllers[cc] = cc == 11 ? 127 : 0, t.sent[cc] = true;
        number[k].fill(127);
        nrpn[k] = false;
      }
    };
    for (size_t seq = 0; seq < steps.size(); ++seq) {
      const Event& e = *steps[seq].event;
      auto& [joined, joining] = sysex[steps[seq].track];
      if (ends_reset(e, joined, joining)) {
        for (int c = 0; c <= kZone; ++c) {
          if (c < kZone) {
            for (auto& keys : open[c])
              for (size_t n : keys) end(n, e.tick, seq);
            for (auto& keys : open[c]) keys.clear();
            for (size_t n : held[c]) end(n, e.tick, seq);
            held[c].clear();
            caught[c].clear();
          }
          now[c] = Settings{};
          number[c].fill(127);
          nrpn[c] = false;
          history[c].push_back({e.tick, seq + 1, now[c]});
        }
        continue;
      }
      if (is_kept(e)) continue;
      const int c = e.channel();
      Settings& s = now[c];
      const int d1 = e.data[0], d2 = e.data[1];
      const bool is_off = e.kind() == 0x80 || (e.kind() == 0x90 && d2 == 0);
      // Whether a pedal holds note `n` of the input once its key is up: the
      // sustain pedal, or the sostenuto pedal that caught it.
      auto pedal_holds = [&](size_t n) {
        return is_input && (s.controllers[64] >= 64 ||
                            (s.controllers[66] >= 64 && std::count(caught[c].begin(), caught[c].end(), n)));
      };
      // The held notes that no pedal holds any more end.
      auto end_unheld = [&] {
        std::vector<size_t> still;
        for (size_t n : held[c]) {
          if (pedal_holds(n)) still.push_back(n);
          else end(n, e.tick, seq);
        }
        held[c] = std::move(still);
      };
      // What an MPE zone's manager takes for every source: programs, and
      // controllers but those that end notes.
      const bool zone_wide = options_.mpe && is_input &&
                             (e.kind() == 0xC0 || (e.kind() == 0xB0 && (d1 < 120 || d1 == 121)));
      if (e.kind() == 0x90 && d2 > 0) {
        ++unended[c][d1];
        open[c][d1].push_back(notes.size());
        notes.push_back({c, d1, d2, steps[seq].track, SIZE_MAX, e.tick, UINT64_MAX, UINT64_MAX, seq, SIZE_MAX, d1, 0});
      } else if (is_off) {
        if (unended[c][d1] > 0) --unended[c][d1];
        if (open[c][d1].empty()) continue;
        const size_t n = open[c][d1].front();
        open[c][d1].erase(open[c][d1].begin());
        notes[n].off_tick = e.tick;
        notes[n].off_track = steps[seq].track;
        if (pedal_holds(n)) held[c].push_back(n);
        else end(n, e.tick, seq);
      } else if (e.kind() == 0xB0) {
        const bool sostenuto_was_down = s.controllers[66] >= 64;
        control(c, d1, d2);
        if (zone_wide) control(kZone, d1, d2);
        // Pressed, the sostenuto pedal catches the notes whose keys are down.
        if (d1 == 66 && d2 >= 64 && !sostenuto_was_down) {
          caught[c].clear();
          for (const auto& keys : open[c]) caught[c].insert(caught[c].end(), keys.begin(), keys.end());
        }
        if (d1 == 120) {
          for (size_t n : held[c]) end(n, e.tick, seq);
          held[c].clear();
        } else if (d1 == 121 || d1 == 64 || d1 == 66) {
          end_unheld();
        }
        // All sound off, all notes off and the mode messages after it (which
        // act as all notes off): a note-off for every note.
        if (d1 == 120 || d1 >= 123) {
          for (auto& keys : open[c]) {
            for (size_t n : keys) {
              notes[n].off_tick = e.tick;
              notes[n].off_track = steps[seq].track;
              if (d1 != 120 && pedal_holds(n)) held[c].push_back(n);
              else end(n, e.tick, seq);
            }
            keys.clear();
          }
        }
      } else if (e.kind() == 0xA0) {
        pressures.push_back({seq, e.tick, c, d1, d2});
      } else if (e.kind() == 0xC0) {
        s.program = d1;
        if (zone_wide) now[kZone].program = d1;
      } else if (e.kind() == 0xD0) {
        s.pressure = d1, s.pressure_sent = true;
      } else if (e.kind() == 0xE0) {
        if (!(is_input && options_.ignore_bends)) s.bend = d1 | d2 << 7;
      }
      if (!(history[c].back().settings == s)) history[c].push_back({e.tick, seq + 1, s});
      if (zone_wide && !(history[kZone].back().settings == now[kZone]))
        history[kZone].push_back({e.tick, seq + 1, now[kZone]});
    }
    size_t left = 0;
    for (const auto& keys : unended)
      for (size_t n : keys) left += n;
    return left;
  }

  // Snapshots are stamped with the sequence number of the event after the
  // one that made them: the first is in force from the start.
  static const Settings& at_seq(const History& h, size_t seq) {  // in force when event `seq` comes
    auto it = std::upper_bound(h.begin(), h.end(), seq, [](size_t q, const Snapshot& s) { return q < s.seq; });
    return std::prev(it)->settings;
  }
  static const Settings& at_end_of(const History& h, uint64_t tick) {
    auto it = std::upper_bound(h.begin(), h.end(), tick, [](uint64_t t, const Snapshot& s) { return t < s.tick; });
    return std::prev(it)->settings;
  }

  // Where a note of `key` is to sound, and the cents its bend adds, for the
  // range its bends are made for: a key whose offset lies beyond the range
  // goes to the nearest key, the bend making up the rest.
  std::pair<int, double> place(int key, double range) const {
    const double offset = options_.offset[key];
    if (std::abs(offset) <= 100 * range) return {key, offset};
    const int played = std::clamp(key + static_cast<int>(std::lround(offset / 100)), 0, 127);
    return {played, offset - 100.0 * (played - key)};
  }

  // The range a source's output channels are declared to: the user's, else
  // the file's, unless it is below two semitones and some key, moved or not,
  // is left further off than it reaches (edge keys that cannot move count
  // too); then two semitones.
  // Judged on the file's range in force: at a note's start, and again at
  // each change while it sounds.
  double out_range(const Settings& source) const {
    if (options_.bend_range) return options_.bend_range;
    const double range = source.range_semitones();
    auto [it, fresh] = out_ranges_.try_emplace(range, range);
    for (int key = 0; fresh && range < 2 && key < 128; ++key)
      if (std::abs(place(key, range).second) > 100 * range) it->second = 2, fresh = false;
    return it->second;
  }

  // What the output channel should hold for a note of `source` settings: the
  // file's bend kept in cents on the range declared there.
  Settings expected(const Settings& source, double offset) const {
    Settings want = source;
    const double src_range = source.range_semitones(), range = out_range(source);
    if (range != src_range) want.range[0] = static_cast<int>(range), want.range[1] = 0;
    if (range > 0) {
      double file = source.bend - 8192;
      if (src_range != range) file = std::round(file * src_range / range);
      const double value = 8192 + file + std::trunc(offset * 0.01 * 8192 / range);
      want.bend = static_cast<int>(std::clamp(value, 0.0, 16383.0));
    }
    return want;
  }

  // The first thing an output channel lacks of what it should hold for a
  // note; an MPE member holds only the note's own bend, range and pressure.
  std::string lacks(const Settings& got, Settings want) const {
    if (options_.mpe) {
      want.program = got.program;
      want.sent.reset();
      want.parameters.clear();
      want.halves.clear();
    }
    return differs(got, want);
  }

  // The first thing an MPE zone's manager lacks of the zone's settings.
  std::string manager_lacks(const Settings& got, Settings zone) const {
    if (!options_.mpe) return "";
    zone.bend = got.bend, zone.range[0] = got.range[0], zone.range[1] = got.range[1], zone.pressure_sent = false;
    const std::string d = differs(got, zone);
    return d.empty() ? d : "the manager's " + d;
  }

  // Empty when the note's channel (and an MPE zone's manager) holds what it
  // should at its start and at the end of every tick it sounds through.
  std::string check_note(const Note& n, const Note& m, const Histories& in, const Histories& out,
                         double* cents_off) const {
    if (options_.mpe && (m.channel < 1 || m.channel > members_))
      return "on channel " + std::to_string(m.channel + 1) + ", no member of the zone";
    const double offset = n.cents;
    const History& src = in[n.channel];
    const History& dst = out[m.channel];
    const Settings want = expected(at_seq(src, n.on_seq), offset);
    const Settings got = at_seq(dst, m.on_seq);
    *cents_off = std::abs(got.bend - want.bend) * want.range_semitones() * 100 / 8192;
    if (std::string d = lacks(got, want); !d.empty()) return d + " at its start";
    if (std::string d = manager_lacks(at_seq(out[0], m.on_seq), at_seq(in[kZone], n.on_seq)); !d.empty())
      return d + " at its start";
    std::vector<uint64_t> ticks;
    for (const History* h : {&src, &dst, &in[kZone], &out[0]}) {
      auto it = std::lower_bound(h->begin(), h->end(), n.on_tick, [](const Snapshot& s, uint64_t t) { return s.tick < t; });
      for (; it != h->end() && it->tick < n.end_tick; ++it) ticks.push_back(it->tick);
    }
    for (uint64_t t : ticks) {
      std::string d = lacks(at_end_of(dst, t), expected(at_end_of(src, t), offset));
      if (d.empty()) d = manager_lacks(at_end_of(out[0], t), at_end_of(in[kZone], t));
      if (!d.empty()) return "at tick " + std::to_string(t) + ": " + d;
    }
    return "";
  }

  void timeline(const Smf& in, const Smf& out, const std::vector<size_t>& tracks) {
    Histories in_history, out_history;
    std::vector<Note> in_notes, out_notes;
    std::vector<Pressure> in_pressures, out_pressures;
    const size_t in_unended = walk(merge(in, tracks), true, in_history, in_notes, in_pressures);
    const size_t out_unended = walk(merge(out, tracks), false, out_history, out_notes, out_pressures);
    if (out_unended > in_unended)
      fail(std::to_string(out_unended) + " note-ons without their note-off in the output, " + std::to_string(in_unended) +
           " in the input");
    for (Note& n : in_notes) {
      const Settings& source = at_seq(in_history[n.channel], n.on_seq);
      std::tie(n.played, n.cents) = place(n.key, out_range(source));
      n.units = static_cast<int>(std::trunc(n.cents * 0.01 * 8192 / out_range(source)));
    }
    std::multimap<std::pair<int, int>, const Pressure*> pressed;  // by channel and key
    for (const Pressure& p : in_pressures) pressed.emplace(std::make_pair(p.channel, p.key), &p);
    std::set<std::tuple<uint64_t, int, int, int>> written;  // tick, channel, key, value
    for (const Pressure& p : out_pressures) written.emplace(p.tick, p.channel, p.key, p.value);

    using Key = std::tuple<size_t, uint64_t, int, int, uint64_t, size_t>;
    auto key_of = [](const Note& n) { return Key{n.track, n.on_tick, n.played, n.velocity, n.off_tick, n.off_track}; };
    std::multimap<Key, size_t> unmatched;
    for (size_t i = 0; i < out_notes.size(); ++i)
      if (!passes_through(out_notes[i].channel)) unmatched.emplace(key_of(out_notes[i]), i);

    int channels = 0;
    for (int c = 0; c < 16; ++c) channels += !passes_through(c);
    if (options_.mpe) channels = members_;
    // Notes sounding, by end, for the count of (source, tuning) pairs: notes
    // of a pair share a channel, their bends equal whatever the file's bend.
    // A note that starts while more pairs sound than there are channels may
    // be placed on a channel of another tuning, and notes sounding then may
    // be ended early to make room; while such a note sounds, the channels no
    // longer hold one pair each, and later notes may be placed so too.
    using Sounding = std::pair<size_t, size_t>;  // end seq, note
    std::priority_queue<Sounding, std::vector<Sounding>, std::greater<>> sounding;
    std::set<size_t> live;
    std::map<std::pair<int, int>, int> pairs;
    std::vector<bool> crowded(in_notes.size()), exposed(in_notes.size());
    int crowded_sounding = 0;
    for (size_t i = 0; i < in_notes.size(); ++i) {
      const Note& n = in_notes[i];
      while (!sounding.empty() && sounding.top().first <= n.on_seq) {
        const size_t j = sounding.top().second;
        sounding.pop();
        live.erase(j);
        const auto pair = std::make_pair(in_notes[j].channel, in_notes[j].units);
        if (--pairs[pair] == 0) pairs.erase(pair);
        crowded_sounding -= crowded[j];
      }
      const auto pair = std::make_pair(n.channel, n.units);
      crowded[i] = crowded_sounding > 0 || static_cast<int>(pairs.size() + !pairs.count(pair)) > channels;
      if (crowded[i])
        for (size_t j : live) exposed[j] = true;
      exposed[i] = crowded[i];
      crowded_sounding += crowded[i];
      ++pairs[pair];
      sounding.push({n.end_seq, i});
      live.insert(i);
    }
    for (size_t i = 0; i < in_notes.size(); ++i) {
      const Note& n = in_notes[i];
      const bool overflow = exposed[i];
      ++result_.notes;

      const std::string where = "note " + std::to_string(i) + " (key " + std::to_string(n.key) + " on " +
                                std::to_string(n.played) + ", channel " +
                                std::to_string(n.channel + 1) + ", tick " + std::to_string(n.on_tick) + "): ";
      auto [first, last] = unmatched.equal_range(key_of(n));
      if (first == last) {
        ++result_.missing;
        if (!overflow) fail(where + "not in the output");
        continue;
      }
      // Among equal notes, the one that is right, if any.
      auto chosen = first;
      std::string problem;
      double cents = 0;
      for (auto it = first; it != last; ++it) {
        std::string p = check_note(n, out_notes[it->second], in_history, out_history, &cents);
        if (it == first) problem = p;
        if (p.empty()) {
          chosen = it, problem.clear();
          break;
        }
      }
      if (!problem.empty()) check_note(n, out_notes[chosen->second], in_history, out_history, &cents);
      const Note& m = out_notes[chosen->second];
      unmatched.erase(chosen);
      auto [p, p_end] = pressed.equal_range({n.channel, n.key});
      for (; p != p_end && problem.empty(); ++p)
        if (p->second->seq > n.on_seq && p->second->seq < n.end_seq &&
            !written.count({p->second->tick, m.channel, m.key, p->second->value}))
          problem = "no aftertouch at tick " + std::to_string(p->second->tick);
      if (!problem.empty()) {
        ++result_.off;
        result_.max_cents_off = std::max(result_.max_cents_off, cents);
        if (!overflow) fail(where + problem);
        // Overflow may cost a note its pitch, never its instrument.
        const Settings want = expected(at_seq(in_history[n.channel], n.on_seq), n.cents);
        Settings got = at_seq(out_history[m.channel], m.on_seq);
        got.bend = want.bend;
        if (std::string d = lacks(got, want); !d.empty()) fail(where + "another source's settings at its start: " + d);
      }
    }
    // A note placed on a channel of another source sounds on there after its
    // own source's all-notes-off: it stands for a note counted missing.
    if (unmatched.size() > result_.missing) fail("an output note that is no input note");
  }

  Options options_;
  Result result_;
  bool drums_ = false;  // channel 10 passes through
  int members_ = 0;     // of an MPE zone: channels 2 to members_ + 1
  mutable std::map<double, double> out_ranges_;  // by the file's range
};

inline Result check(std::string_view input, std::string_view output, const Options& options) {
  return Checker(options).check(input, output);
}

}  // namespace poly_check
