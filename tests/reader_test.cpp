// The event reader on literal bytes: one event's fields, "more bytes" at
// every point where the bytes are cut short, or the failure.
#include <gtest/gtest.h>

#include "refusal.h"
#include "smf/smf_walk.h"
#include "smf_builder.h"

using retune::smf::Event;
using retune::smf::EventReader;
using smf_test::hex;

namespace {

struct Fields {
  uint32_t delta;
  uint8_t status;
  bool running;
  uint8_t data[2];
  uint8_t head_size;
  uint32_t length;
};

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void expect_fields(const Event& got, const Fields& w, const char* event) {
  EXPECT_EQ(got.delta, w.delta) << event;
  EXPECT_EQ(got.status, w.status) << event;
  EXPECT_EQ(got.running, w.running) << event;
  EXPECT_EQ(got.data[0], w.data[0]) << event;
  EXPECT_EQ(got.data[1], w.data[1]) << event;
  EXPECT_EQ(got.head_size, w.head_size) << event;
  EXPECT_EQ(got.length, w.length) << event;
}

// `event` followed by a whole head's worth of bytes, as read_channel() wants;
// data bytes, so that reading one too many shows.
std::string with_room(const std::string& event) { return event + std::string(retune::smf::kLongestHead, '\x7F'); }

// A reader that has read `before` (whole events), as it stands for the next one.
EventReader reader_after(const std::string& before) {
  EventReader reader;
  for (const uint8_t *p = bytes_of(before), *end = p + before.size(); p < end;) {
    Event event;
    if (!reader.read(p, end, event)) ADD_FAILURE() << "cannot read " << smf_test::to_hex(before);
    p += event.size();
  }
  return reader;
}

TEST(Reader, ReadsOneEventAndAsksForMoreWhereItsHeadIsCut) {
  const struct {
    const char* before;  // read first, for running status
    const char* event;
    Fields want;
  } cases[] = {
      {"", "00 90 3C 40", {0, 0x90, false, {0x3C, 0x40}, 4, 0}},
      {"00 9F 3C 40", "60 3E 00", {0x60, 0x9F, true, {0x3E, 0x00}, 3, 0}},
      {"", "00 C5 07", {0, 0xC5, false, {0x07, 0}, 3, 0}},
      {"00 D2 10", "00 11", {0, 0xD2, true, {0x11, 0}, 2, 0}},
      {"", "81 00 E0 00 40", {128, 0xE0, false, {0x00, 0x40}, 5, 0}},
      {"", "FF FF FF 7F A1 3C 10", {0x0FFFFFFF, 0xA1, false, {0x3C, 0x10}, 7, 0}},
      {"", "00 FF 51 03 07 A1 20", {0, 0xFF, false, {0x51, 0}, 4, 3}},
      {"", "00 FF 01 81 00", {0, 0xFF, false, {0x01, 0}, 5, 128}},
      {"", "00 F0 05 7E 7F 09 01 F7", {0, 0xF0, false, {0, 0}, 3, 5}},
      {"", "00 F7 02 01 F7", {0, 0xF7, false, {0, 0}, 3, 2}},
      {"00 F0 01 F7", "00 02 02 F7", {0, 0xF0, true, {0, 0}, 2, 2}},
      {"", "00 F2 20", {0, 0xF2, false, {0x20, 0}, 3, 0}},
      {"00 F3 01", "00 05", {0, 0xF3, true, {0x05, 0}, 2, 0}},
      {"", "00 F8", {0, 0xF8, false, {0, 0}, 2, 0}},
      {"00 FC", "00 05", {0, 0xFC, true, {0, 0}, 2, 0}},  // the stray data byte goes with it
  };
  for (const auto& c : cases) {
    const std::string event = hex(c.event);
    const uint8_t* p = bytes_of(event);
    for (size_t cut = 0; cut < c.want.head_size; ++cut) {
      EventReader reader = reader_after(hex(c.before));
      Event got;
      EXPECT_FALSE(reader.read(p, p + cut, got)) << c.event << " cut at " << cut;
      // Nothing changed: the whole event reads as if the cut one never was.
      ASSERT_TRUE(reader.read(p, p + event.size(), got)) << c.event;
      EXPECT_EQ(got.status, c.want.status) << c.event << " cut at " << cut;
    }
    Event got;
    ASSERT_TRUE(reader_after(hex(c.before)).read(p, p + event.size(), got)) << c.event;
    expect_fields(got, c.want, c.event);

    // The channel messages' own reader agrees on them and declines the rest,
    // changing nothing.
    const std::string room = with_room(event);
    EventReader reader = reader_after(hex(c.before));
    Event fast;
    const bool channel = c.want.status < retune::smf::kSysEx;
    ASSERT_EQ(reader.read_channel(bytes_of(room), fast), channel) << c.event;
    if (!channel) {
      ASSERT_TRUE(reader.read(p, p + event.size(), fast)) << c.event;
    }
    expect_fields(fast, c.want, c.event);
  }
}

TEST(Reader, RefusesWhatNoEventCanBe) {
  const struct {
    const char* event;
    const char* message;
    bool channel;  // read_channel() finds it too, before it could tell the event is no channel message
  } cases[] = {
      {"80 80 80 80 00", "Error in delta time encoding\n", true},
      {"00 FF 01 FF FF FF FF 01", "Error in delta time encoding\n", false},
      {"00 F0 80 80 80 80 00", "Error in delta time encoding\n", false},
      {"00 3C 40", "No running MIDI command defined\n", true},
  };
  for (const auto& c : cases) {
    EventReader reader;
    const std::string event = hex(c.event);
    const smf_test::Refusal r = smf_test::refusal([&] {
      Event got;
      reader.read(bytes_of(event), bytes_of(event) + event.size(), got);
    });
    EXPECT_EQ(r.message, c.message) << c.event;
    EXPECT_EQ(r.status, 3) << c.event;
    if (!c.channel) continue;
    const std::string room = with_room(event);
    const smf_test::Refusal fast = smf_test::refusal([&] {
      Event got;
      reader.read_channel(bytes_of(room), got);
    });
    EXPECT_EQ(fast.message, c.message) << c.event;
    EXPECT_EQ(fast.status, 3) << c.event;
  }
}

}  // namespace
