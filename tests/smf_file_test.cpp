// The whole-file model: what it reads, what it refuses, and that writing
// back what it read gives the same bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "refusal.h"
#include "smf/smf_file.h"
#include "smf_builder.h"

using namespace smf_test;
using namespace retune::smf;

namespace {

// Every track's events copied one by one.
std::string copied(const File& file) {
  std::vector<std::string> tracks;
  for (const Track& track : file.tracks) {
    TrackEvents events(file, track);
    TrackWriter writer;
    for (TimedEvent e; events.next(e);) writer.copy(e.tick, e);
    tracks.emplace_back(writer.held());
  }
  return write_file(file, tracks);
}

TEST(SmfFile, WritesBackWhatItReads) {
  const std::string alien = "XFIH" + be32(3) + "abc";
  const std::string bytes =
      header(1, 2) + alien + track(hex("00 90 3C 40 81 00 3E 40 10 FF 01 03 61 62 63 00 F0 03 7E 7F F7 00 80 3C 00")) +
      "XKAR" + be32(0) + track(hex("05 C0 05 00 3C 00 FF 2F 00")) + "trailing";
  const File file = read_file(bytes);
  EXPECT_EQ(file.format, 1);
  EXPECT_EQ(file.division, 96);
  ASSERT_EQ(file.tracks.size(), 2u);
  ASSERT_EQ(file.blocks.size(), 3u);
  EXPECT_EQ(to_hex(copied(file)), to_hex(bytes));

  std::vector<uint64_t> ticks;
  TrackEvents events(file, file.tracks[0]);
  for (TimedEvent e; events.next(e);) ticks.push_back(e.tick);
  EXPECT_EQ(ticks, (std::vector<uint64_t>{0, 128, 144, 144, 144}));
  // Under running status, 3C is a program change like the C0 05 before it.
  TrackEvents second(file, file.tracks[1]);
  TimedEvent e;
  ASSERT_TRUE(second.next(e) && second.next(e));
  EXPECT_EQ(e.event.status, kProgram);
  EXPECT_EQ(e.event.data[0], 0x3C);
}

TEST(SmfFile, StatesEveryStatusButAChannelMessageRepeated) {
  TrackWriter w;
  w.channel(0, 0x90, 60, 64);
  w.channel(0, 0x90, 62, 64);
  w.channel(200, 0xC0, 5);
  w.channel(200, 0xC0, 6);
  const std::string meta = hex("00 FF 2F 00");
  const File file = read_file(header(0, 1) + track(meta));
  TrackEvents events(file, file.tracks[0]);
  TimedEvent end;
  ASSERT_TRUE(events.next(end));
  w.copy(200, end);
  w.channel(200, 0xC0, 7);
  w.channel(200, 0xC0, 0x87);  // no data byte, but copied as the file has it
  EXPECT_EQ(to_hex(w.held()), "00 90 3C 40 00 3E 40 81 48 C0 05 00 06 00 FF 2F 00 00 C0 07 00 C0 87");
}

TEST(SmfFile, KeepsPausesWithinDeltaTimesWhereEventsAreLeftOut) {
  const uint8_t filler[3] = {0xE0, 0x00, 0x40};
  TrackWriter w;
  w.channel(0, 0x90, 60, 64);
  w.leave_out(10, filler);          // close: nothing written
  w.leave_out(0x0FFFFFFF, filler);  // the longest delta time from the note
  w.channel(0x0FFFFFFF + 5, 0x80, 60, 0);
  EXPECT_EQ(to_hex(w.held()), "00 90 3C 40 FF FF FF 7F E0 00 40 05 80 3C 00");
}

// Keeps what is spilled in memory, and counts the pieces.
class MemorySpool final : public retune::io::Spool {
 public:
  uint64_t append(const uint8_t* data, size_t size) override {
    ++pieces;
    bytes.append(reinterpret_cast<const char*>(data), size);
    return bytes.size() - size;
  }
  void copy(uint64_t offset, uint64_t size, retune::io::ByteSink& out) override {
    out.write(reinterpret_cast<const uint8_t*>(bytes.data()) + offset, size);
  }
  std::string bytes;
  int pieces = 0;
};

TEST(SmfFile, SpilledTracksAreWrittenAsHeld) {
  const std::string bytes =
      header(1, 2) + track(hex("00 90 3C 40 81 00 3E 40 10 FF 01 03 61 62 63 00 F0 03 7E 7F F7 00 80 3C 00")) +
      "XKAR" + be32(0) + track(hex("05 C0 05 00 3C 00 FF 2F 00")) + "trailing";
  const File file = read_file(bytes);
  // Per case: after which events (counted over both tracks, in turn) every
  // track spills.
  const struct {
    std::vector<int> after;
    int pieces;  // spilled pieces that are not empty
  } cases[] = {{{}, 0}, {{0}, 1}, {{1, 2}, 2}, {{0, 4, 6}, 3}, {{6}, 2}, {{100}, 0}};
  for (const auto& c : cases) {
    MemorySpool spool;
    std::vector<TrackWriter> writers(file.tracks.size());
    int n = 0;
    for (size_t t = 0; t < file.tracks.size(); ++t) {
      TrackEvents events(file, file.tracks[t]);
      for (TimedEvent e; events.next(e); ++n) {
        writers[t].copy(e.tick, e);
        if (std::find(c.after.begin(), c.after.end(), n) != c.after.end())
          for (TrackWriter& w : writers) w.spill(spool);
      }
    }
    retune::io::MemorySink out;
    write_file(file, writers, &spool, out);
    EXPECT_EQ(to_hex(out.bytes()), to_hex(bytes)) << n;
    EXPECT_EQ(spool.pieces, c.pieces) << c.after.size();
  }
}

TEST(SmfFile, MergesTracksByTickThenByTrack) {
  // Each note's key: the track in the high nibble, its place in the track in the low.
  const File file = read_file(header(1, 5) + track(hex("00 90 00 40 03 90 01 40 00 90 02 40 06 90 03 40")) +
                              track(hex("00 90 10 40 02 90 11 40 07 90 12 40")) +
                              track(hex("01 90 20 40 02 90 21 40 05 90 22 40")) +
                              track(hex("03 90 30 40 01 90 31 40")) +
                              track(hex("00 90 40 40 09 90 41 40 00 90 42 40")));
  std::string merged;
  MergedEvents events(file, timelines(file)[0]);
  while (const TimedEvent* e = events.next()) {
    EXPECT_EQ(events.track(), size_t{e->event.data[0]} >> 4);
    merged += std::to_string(e->tick) + ":" + to_hex(std::string(1, static_cast<char>(e->event.data[0]))) + " ";
  }
  EXPECT_EQ(merged, "0:00 0:10 0:40 1:20 2:11 3:01 3:02 3:21 3:30 4:31 8:22 9:03 9:12 9:41 9:42 ");
}

TEST(SmfFile, RefusesWhatTheStreamingPassesRefuse) {
  const struct {
    std::string bytes;
    Refusal expected;
  } cases[] = {
      {"MThx" + be32(6) + be16(1) + be16(0) + be16(96), {"MIDI track header incorrect\n", 2}},
      {"MThd" + be32(7) + be16(1) + be16(0) + be16(96) + "x", {"MIDI track header size incorrect\n", 2}},
      {header(1, 1025), {"Too many tracks in MIDI file, maximum is 1024\n", 3}},
      {header(1, 1) + "\x01" "abc" + be32(0), {"MIDI track chunk header incorrect in track 0\n", 2}},
      {header(1, 1) + "XFIH" + be32(10) + "abc", {"File format error: EOF encountered\n", 255}},
      {header(1, 1) + track_declared(hex("00 90 3C"), 4), {"File format error: EOF encountered\n", 255}},
      {header(1, 1) + track(hex("00 F0 05 7E")), {"File format error: EOF encountered\n", 255}},
      {header(1, 1) + track(hex("FF FF FF FF 00")), {"Error in delta time encoding\n", 3}},
      {header(1, 1) + track(hex("00 3C 40")), {"No running MIDI command defined\n", 3}},
      // The same with a whole head's bytes to spare, as channel messages are read in bulk.
      {header(1, 1) + track(hex("FF FF FF FF 00")) + "trailing bytes", {"Error in delta time encoding\n", 3}},
      {header(1, 1) + track(hex("00 3C 40")) + "trailing bytes", {"No running MIDI command defined\n", 3}},
      {header(1, 2) + track(hex("00 FF 2F 00")), {"File format error: EOF encountered\n", 255}},
  };
  for (const auto& c : cases) {
    const Refusal got = refusal([&] { read_file(c.bytes); });
    EXPECT_EQ(got.message, c.expected.message) << to_hex(c.bytes);
    EXPECT_EQ(got.status, c.expected.status) << to_hex(c.bytes);
  }
}

}  // namespace
