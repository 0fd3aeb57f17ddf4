// Literal bytes through both passes in memory: a few bytes in, the expected
// bytes or failure out.
#include <gtest/gtest.h>

#include "retune/retune.h"
#include "midi_model.h"
#include "refusal.h"

using namespace smf_test;
using retune::Tuning;

namespace {

std::string retuned(std::string_view input, const Tuning& cent = {}) { return retune::retune_bytes(input, cent); }

std::string one_track(std::string_view events) { return smf({hex(events)}, 0); }

TEST(Passes, InsertsABendAfterEveryNoteOn) {
  const struct {
    const char* in;
    const char* out;
    double c_offset;
  } cases[] = {
      {"00 90 3C 40 60 80 3C 40 00 FF 2F 00", "00 90 3C 40 00 E0 00 40 60 80 3C 40 00 FF 2F 00", 0},
      {"00 90 3C 40 60 80 3C 40 00 FF 2F 00", "00 90 3C 40 00 E0 67 3C 60 80 3C 40 00 FF 2F 00", -10},
      // channels 10 and 16, velocity 0
      {"00 99 30 00", "00 99 30 00 00 E9 00 40", 0},
      {"00 9F 48 7F", "00 9F 48 7F 00 EF 19 43", 10},
      // running status after a note-on: the status is restated after the bend
      {"00 90 3C 40 60 3E 40", "00 90 3C 40 00 E0 00 40 60 90 3E 40 00 E0 00 40", 0},
      {"00 90 3C 40 60 3C 00 10 3E 40", "00 90 3C 40 00 E0 00 40 60 90 3C 00 00 E0 00 40 10 90 3E 40 00 E0 00 40", 0},
      // running status with nothing inserted stays as it is
      {"00 B0 07 64 00 0A 40 00 C0 05 00 06", "00 B0 07 64 00 0A 40 00 C0 05 00 06", 0},
      // an explicit status after a bend needs nothing more
      {"00 90 3C 40 00 80 3C 40 00 3E 40", "00 90 3C 40 00 E0 00 40 00 80 3C 40 00 3E 40", 0},
  };
  for (const auto& c : cases) {
    Tuning cent{};
    cent[0] = c.c_offset;
    EXPECT_EQ(to_hex(retuned(one_track(c.in), cent)), to_hex(one_track(c.out))) << c.in;
  }
}

TEST(Passes, EachStatusKindTakesItsDataBytes) {
  // Nothing here is a note-on, so every file passes through unchanged; a
  // wrong byte count would lose step and fail or change the bytes.
  const char* tracks[] = {
      "00 C0 05 00 D0 10 00 B0 07 64 00 E0 00 40 00 A0 3C 10 00 80 3C 40",  // channel messages
      "00 F8 00 FA 00 FB 00 FC 00 FF 2F 00",                               // real-time: no data
      "00 F1 10 00 F2 20 00 F3 01 00 F6 00 00 F9 00 00 FD 00 00 FE 00",    // one data byte
      "00 FF 51 03 07 A1 20 00 FF 2F 00",                                  // meta
      "00 F0 05 7E 7F 09 01 F7 00 F7 02 01 F7",                            // sysex, escape
      "00 F0 02 01 F7 00 02 02 F7",                                        // sysex under running status
      "81 00 FF 01 00 FF FF 7F FF 01 00 FF FF FF 7F FF 01 00",             // 2-, 3-, 4-byte delta times
  };
  for (const char* events : tracks) {
    const std::string file = one_track(events);
    EXPECT_EQ(to_hex(retuned(file)), to_hex(file)) << events;
  }
}

TEST(Passes, LongMetaAndSysexPassIntact) {
  const std::string text(300, 'x');
  const std::string dump = std::string(1999, '\x11') + "\xF7";
  const std::string events = hex("00 FF 05") + vlq(300) + text + hex("00 F0") + vlq(2000) + dump + hex("00 90 3C 40");
  const std::string out = retuned(smf({events}, 0));
  EXPECT_EQ(out, smf({events + hex("00 E0 00 40")}, 0));
}

TEST(Passes, RunningStatusCarriesIntoTheNextTrack) {
  const std::string in = smf({hex("00 90 3C 40"), hex("10 3C 00 00 FF 2F 00")});
  const std::string out = smf({hex("00 90 3C 40 00 E0 00 40"), hex("10 90 3C 00 00 E0 00 40 00 FF 2F 00")});
  EXPECT_EQ(to_hex(retuned(in)), to_hex(out));
}

TEST(Passes, FramingAndLengths) {
  const struct {
    std::string in;
    std::string out;
    const char* what;
  } cases[] = {
      {header(1, 0) + "trailing", header(1, 0) + "trailing", "no tracks; trailing bytes kept"},
      {smf({"", hex("00 FF 2F 00")}) + "junk", smf({"", hex("00 FF 2F 00")}) + "junk", "empty track"},
      // 2^31 and more walks nothing: 0 is written and the next chunk starts right there
      {header(1, 2) + track_declared("", 0x80000000u) + track(hex("00 90 3C 40")),
       header(1, 2) + track_declared("", 0) + track(hex("00 90 3C 40 00 E0 00 40")), "negative length"},
      // the last event runs past the declared length: the real length is written
      {header(0, 1) + track_declared(hex("00 90 3C 40"), 2), header(0, 1) + track(hex("00 90 3C 40 00 E0 00 40")),
       "overrun"},
      {header(0, 1) + track_declared(hex("00 FF 01 05 41 42 43 44 45"), 4),
       header(0, 1) + track(hex("00 FF 01 05 41 42 43 44 45")), "overrun, no note"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_hex(retuned(c.in)), to_hex(c.out)) << c.what;
}

TEST(Passes, AlienChunksAndTrailingBytesPassUnchanged) {
  const std::string note = hex("00 90 3C 40");
  const std::string bent = hex("00 90 3C 40 00 E0 00 40");
  const std::string karaoke = "KAR " + be32(3) + "abc";
  const std::string odd_but_printable = "MThd" + be32(6) + hex("00 00 00 01 00 60");
  const std::string stray = "\x01\x02" + std::string("MTrk") + be32(0) + std::string(300000, 'z') + "\xFF";
  const struct {
    std::string in;
    std::string out;
    const char* what;
  } cases[] = {
      {header(1, 2) + karaoke + track(note) + "    " + be32(0) + track(note) + karaoke,
       header(1, 2) + karaoke + track(bent) + "    " + be32(0) + track(bent) + karaoke, "before, between, after"},
      {header(0, 1) + odd_but_printable + karaoke + track(note), header(0, 1) + odd_but_printable + karaoke + track(bent),
       "two before the first"},
      {header(0, 1) + track(note) + stray, header(0, 1) + track(bent) + stray, "any bytes after the last track"},
      {header(0, 1) + track(note) + "KAR " + be32(100) + "cut short", header(0, 1) + track(bent) + "KAR " + be32(100) + "cut short",
       "a chunk cut short after the last track"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_hex(retuned(c.in)), to_hex(c.out)) << c.what;
    EXPECT_EQ(check_retuned(c.in, retuned(c.in), {}), "") << c.what;
  }
}

TEST(Passes, AcceptsTheTrackLimit) {
  std::string in = header(1, 1024);
  for (int i = 0; i < 1024; ++i) in += track(hex("00 FF 2F 00"));
  EXPECT_EQ(retuned(in), in);
}

TEST(Passes, RefusesBrokenFramingAndEvents) {
  std::string too_many = header(1, 1025);
  const struct {
    std::string in;
    const char* message;
    int status;
  } cases[] = {
      {"MThx" + be32(6), "MIDI track header incorrect\n", 2},
      {"MThd" + be32(7) + be16(0) + be16(1) + be16(96) + "x", "MIDI track header size incorrect\n", 2},
      {too_many, "Too many tracks in MIDI file, maximum is 1024\n", 3},
      {header(1, 2) + track("") + "MTr\x7F" + be32(0), "MIDI track chunk header incorrect in track 1\n", 2},
      {header(1, 1) + "KAR\xC4" + be32(0), "MIDI track chunk header incorrect in track 0\n", 2},
      {header(1, 1) + "KAR " + be32(4) + "abc", "File format error: EOF encountered\n", 255},
      {header(1, 1) + "KAR " + be32(0), "File format error: EOF encountered\n", 255},
      {one_track("FF FF FF FF 00"), "Error in delta time encoding\n", 3},
      {one_track("00 FF 01 FF FF FF FF"), "Error in delta time encoding\n", 3},
      {one_track("00 3C 40"), "No running MIDI command defined\n", 3},
      {header(1, 2) + track_declared(hex("00 FF 2F"), 4), "File format error: EOF encountered\n", 255},
      {header(0, 1) + "MTr", "File format error: EOF encountered\n", 255},
      {"", "File format error: EOF encountered\n", 255},
  };
  for (const auto& c : cases) {
    const Refusal r = refusal([&] { retuned(c.in); });
    EXPECT_EQ(r.message, c.message) << to_hex(c.in);
    EXPECT_EQ(r.status, c.status) << to_hex(c.in);
  }
}

// Pass 2 alone, on bytes that pass 1 would not have written.
TEST(Passes, SecondPassChecksTheChunksWithItsOwnMessages) {
  const struct {
    std::string in;
    const char* message;
    int status;
  } cases[] = {
      {"MTrk" + be32(6), "pass 2: MIDI track header incorrect\n", 2},
      {"MThd" + be32(5), "pass 2: MIDI track header size incorrect\n", 2},
      {header(1, 2000), "pass 2:Too many tracks in MIDI file, maximum is 1024\n", 3},
      {header(1, 1) + "MThd", "pass2: MIDI track chunk header incorrect in track 0\n", 2},
      {header(1, 2) + track(hex("00 FF 2F")) + "MTrx", "pass2: MIDI track chunk header incorrect in track 1\n", 2},
      {header(1, 1) + "MTrk" + be32(3) + "ab", "File format error: EOF encountered\n", 255},
  };
  for (const auto& c : cases) {
    retune::Layout layout;
    layout.track_bytes.fill(3);
    const Refusal r = refusal([&] {
      retune::io::MemorySource source(c.in);
      retune::io::ByteReader in(source);
      retune::io::MemorySink sink;
      retune::io::ByteWriter out(sink);
      retune::pass2(in, out, layout);
    });
    EXPECT_EQ(r.message, c.message) << to_hex(c.in);
    EXPECT_EQ(r.status, c.status) << to_hex(c.in);
  }
}

TEST(Passes, SecondPassWritesTheRecordedLengthsAndCopiesThatMuch) {
  retune::Layout layout;
  layout.track_bytes[0] = 4;
  layout.alien_bytes[0] = 9;
  layout.tail = 3;
  const std::string in = header(0, 1) + "XFIL" + be32(1) + "x" + track_declared(hex("00 FF 2F 00"), 99) + "trailing";
  retune::io::MemorySource source(in);
  retune::io::ByteReader reader(source);
  retune::io::MemorySink sink;
  retune::io::ByteWriter out(sink);
  retune::pass2(reader, out, layout);
  out.flush();
  EXPECT_EQ(sink.bytes(), header(0, 1) + "XFIL" + be32(1) + "x" + track(hex("00 FF 2F 00")) + "tra");
}

}  // namespace
