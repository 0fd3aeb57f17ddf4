// The output methods: the tuning message, declared bend ranges and channels
// left alone, as literal bytes and through the command line.
#include <gtest/gtest.h>

#include <sstream>

#include "midi_model.h"
#include "refusal.h"
#include "retune/messages.h"
#include "retune/retune.h"
#include "run_binary.h"

using namespace smf_test;
using retune::Method;
using retune::Tuning;

namespace {

Method mts(uint16_t skipped = 0) {
  Method m;
  m.mts = true;
  m.skipped_channels = skipped;
  return m;
}

Method bend_range(int n, uint16_t skipped = 0) {
  Method m;
  m.bend_range = n;
  m.declare_bend_range = true;
  m.skipped_channels = skipped;
  return m;
}

std::string one_track(std::string_view events) { return smf({hex(events)}, 0); }

TEST(Methods, TuningMessageBytes) {
  Tuning cent{};
  cent[1] = 50;     // 60 00
  cent[2] = -100;   // 00 00
  cent[3] = 100;    // 16384 clamps to 7F 7F
  cent[4] = 1;      // 8192 + 81 = 8273: 40 51
  cent[11] = -0.5;  // 8192 - 40 = 8152: 3F 58
  const std::string message = "00 F0 20 7F 7F 08 09 03 7F 7F  40 00 60 00 00 00 7F 7F 40 51 40 00 40 00 40 00 40 00 40 00 40 00 3F 58 F7";
  EXPECT_EQ(to_hex(retune::retune_bytes(one_track("00 90 3C 40 60 3C 00"), cent, mts())),
            to_hex(one_track(std::string(message) + " 00 90 3C 40 60 3C 00")));
  // Channel 10 left alone: bit 9 of the mask, the third bit of the middle byte.
  const std::string masked = retune::retune_bytes(one_track("00 99 24 40"), Tuning{}, mts(1u << 9));
  EXPECT_EQ(to_hex(masked.substr(22 + 7, 3)), "03 7B 7F");
  const std::string only_first = retune::retune_bytes(one_track("00 90 24 40"), Tuning{}, mts(0xFFFE));
  EXPECT_EQ(to_hex(only_first.substr(22 + 7, 3)), "00 00 01");
}

TEST(Methods, TuningMessageFollowsEveryReset) {
  const std::string m = "00 F0 20 7F 7F 08 09 03 7F 7F 40 00 40 00 40 00 40 00 40 00 40 00 40 00 40 00 40 00 40 00 40 00 40 00 F7";
  const struct {
    const char* sysex;
    bool reset;
  } cases[] = {
      {"F0 05 7E 7F 09 01 F7", true},                    // GM System On, all devices
      {"F0 05 7E 10 09 01 F7", true},                    // GM System On, device 16
      {"F0 05 7E 7F 09 03 F7", true},                    // GM2 System On
      {"F0 0A 41 10 42 12 40 00 7F 00 41 F7", true},     // GS reset
      {"F0 08 43 13 4C 00 00 7E 00 F7", true},           // XG System On, device 3
      {"F0 05 7E 7F 09 02 F7", false},                   // GM System Off
      {"F0 08 43 23 4C 00 00 7E 00 F7", false},          // not XG's parameter change
      {"F7 05 7E 7F 09 01 F7", false},                   // an escape, not a message
      {"F0 06 7E 7F 09 01 F7 00", false},                // longer than a reset
  };
  for (const auto& c : cases) {
    const std::string in = one_track(std::string("00 ") + c.sysex + " 00 FF 2F 00");
    const std::string expected = one_track(m + " 00 " + c.sysex + (c.reset ? " " + m : "") + " 00 FF 2F 00");
    EXPECT_EQ(to_hex(retune::retune_bytes(in, Tuning{}, mts())), to_hex(expected)) << c.sysex;
  }
}

// The bend range set to 12 on channel 1.
const std::string kRange12 = " 00 B0 65 00 00 B0 64 00 00 B0 06 0C 00 B0 26 00 00 B0 65 7F 00 B0 64 7F ";

// Hex text with each "S" standing for `setup`.
std::string with_setup(std::string_view text, const std::string& setup) {
  std::string expanded;
  for (char c : text) expanded += c == 'S' ? setup : std::string(1, c);
  return expanded;
}

// The setup follows the resets at the head of the file (never between the
// packets of a message) and every later reset, in whatever packets it comes.
TEST(Methods, SetupFollowsEveryResetInAnyPackets) {
  std::string tuning_zero = " 00 F0 20 7F 7F 08 09 03 7F 7F";
  for (int i = 0; i < 12; ++i) tuning_zero += " 40 00";
  tuning_zero += " F7 ";
  const struct {
    const char* in;
    const char* out;
  } bend_range_cases[] = {
      {"00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7 00 90 3C 40", "00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7 S 00 90 3C 40 00 E0 00 40"},
      {"00 F0 05 7E 7F 09 01 F7 00 F0 0A 41 10 42 12 40 00 7F 00 41 F7 10 C0 05",
       "00 F0 05 7E 7F 09 01 F7 S 00 F0 0A 41 10 42 12 40 00 7F 00 41 F7 S 10 C0 05"},
      {"00 FF 03 01 41 80 00 F0 05 7E 7F 09 01 F7 00 C0 05", "00 FF 03 01 41 80 00 F0 05 7E 7F 09 01 F7 S 00 C0 05"},
      {"00 C0 05 00 F0 05 7E 7F 09 01 F7 60 F0 05 7E 7F 09 01 F7",
       "S 00 C0 05 00 F0 05 7E 7F 09 01 F7 S 60 F0 05 7E 7F 09 01 F7 S"},
      // packets: F0 and F7 continuations, F7 escapes, split escapes
      {"00 F0 03 7E 7F 09 10 F7 02 01 F7 00 C0 05", "00 F0 03 7E 7F 09 10 F7 02 01 F7 S 00 C0 05"},
      {"00 F7 06 F0 7E 7F 09 01 F7 00 C0 05", "00 F7 06 F0 7E 7F 09 01 F7 S 00 C0 05"},
      {"00 F7 03 F0 7E 7F 10 F7 03 09 01 F7 00 C0 05", "00 F7 03 F0 7E 7F 10 F7 03 09 01 F7 S 00 C0 05"},
      {"00 C0 05 00 F0 02 7E 7F 00 F7 01 09 00 F7 02 03 F7", "S 00 C0 05 00 F0 02 7E 7F 00 F7 01 09 00 F7 02 03 F7 S"},
      // no reset: GM System Off; an escape of other bytes; a continuation with no message open
      {"00 F0 03 7E 7F 09 10 F7 02 02 F7 00 C0 05", "00 F0 03 7E 7F 09 10 F7 02 02 F7 S 00 C0 05"},
      {"00 C0 05 00 F7 01 F8 00 F7 02 01 F7", "S 00 C0 05 00 F7 01 F8 00 F7 02 01 F7"},
      // the setup stays inside the track: before its end, or at its end
      {"00 FF 51 03 07 A1 20 00 FF 2F 00", "00 FF 51 03 07 A1 20 S 00 FF 2F 00"},
      {"00 FF 51 03 07 A1 20", "00 FF 51 03 07 A1 20 S"},
      {"", "S"},
  };
  for (const auto& c : bend_range_cases) {
    const std::string out = retune::retune_bytes(one_track(c.in), Tuning{}, bend_range(12, 0xFFFE));
    EXPECT_EQ(to_hex(out), to_hex(one_track(with_setup(c.out, kRange12)))) << c.in;
  }
  // The scale/octave message leads the file as it always has, and follows
  // resets in any packets too.
  const struct {
    const char* in;
    const char* out;
  } mts_cases[] = {
      {"00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7", "S 00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7 S"},
      {"00 F0 03 7E 7F 09 10 F7 02 01 F7", "S 00 F0 03 7E 7F 09 10 F7 02 01 F7 S"},
      {"00 F7 06 F0 7E 7F 09 01 F7", "S 00 F7 06 F0 7E 7F 09 01 F7 S"},
  };
  for (const auto& c : mts_cases) {
    const std::string out = retune::retune_bytes(one_track(c.in), Tuning{}, mts());
    EXPECT_EQ(to_hex(out), to_hex(one_track(with_setup(c.out, tuning_zero)))) << c.in;
  }
}

// Format 2 holds independent sequences: each gets the setup.
TEST(Methods, EveryTrackOfFormatTwoGetsTheSetup) {
  const std::vector<std::string> in = {hex("00 FF 51 03 07 A1 20 00 C0 05"), hex("00 F0 05 7E 7F 09 01 F7 00 C0 05"), ""};
  const std::vector<std::string> out = {hex(with_setup("00 FF 51 03 07 A1 20 S 00 C0 05", kRange12)),
                                        hex(with_setup("00 F0 05 7E 7F 09 01 F7 S 00 C0 05", kRange12)),
                                        hex(with_setup("S", kRange12))};
  EXPECT_EQ(to_hex(retune::retune_bytes(smf(in, 2), Tuning{}, bend_range(12, 0xFFFE))), to_hex(smf(out, 2)));
  EXPECT_EQ(to_hex(retune::retune_bytes(smf(in, 1), Tuning{}, bend_range(12, 0xFFFE))),
            to_hex(smf({out[0], out[1], ""}, 1)));
  const std::string mts_out = retune::retune_bytes(smf(in, 2), Tuning{}, mts());
  const std::string m = retune::retune_bytes(one_track(""), Tuning{}, mts()).substr(22);
  EXPECT_EQ(to_hex(mts_out), to_hex(smf({m + in[0], m + hex("00 F0 05 7E 7F 09 01 F7") + m + hex("00 C0 05"), m}, 2)));
}

TEST(Methods, SingleNoteFrequencyData) {
  const struct {
    double cents;  // above key 0
    const char* bytes;
  } cases[] = {
      {6900, "45 00 00"},               // A4 exactly on its semitone
      {5999, "3B 7E 5C"},               // a cent below C4: 0.99 of B3's semitone
      {6099.999, "3D 00 00"},           // the fraction rounds to a whole step: carried
      {6250, "3E 40 00"},               // halfway
      {6000 + 1200.0 / 19, "3C 50 6C"},  // 19-EDO, a step above C4: 6063.16 cents
      {6386.3137, "3F 6E 3E"},          // a just major third above C4
      {12700, "7F 00 00"},              // key 127
      {12799.999, "7F 7F 7E"},          // 7F 7F 7F would mean "no change"
      {-30, "00 00 00"},                // below the keyboard
  };
  for (const auto& c : cases) {
    const auto data = retune::note_frequency(c.cents);
    EXPECT_EQ(to_hex(std::string(data.begin(), data.end())), c.bytes) << c.cents;
  }
}

// The pitches of the keys after the tuning messages of `events` (each at delta
// time 0, as the methods insert them), starting from equal temperament.
std::array<double, retune::kKeys> pitches_after(const retune::Bytes& events) {
  std::array<double, retune::kKeys> pitches;
  for (int key = 0; key < retune::kKeys; ++key) pitches[key] = 100.0 * key;
  for (size_t at = 0; at + 3 <= events.size();) {
    uint32_t length = 0;
    at += 2;  // the delta time and F0
    while (events[at] & 0x80) length = length << 7 | (events[at++] & 0x7F);
    length = length << 7 | events[at++];
    retune::take_tuning_message(events.data() + at, length, pitches);
    at += length;
  }
  return pitches;
}

// What each kind of tuning message written says is read back, key by key;
// any device, and "no change", are understood.
TEST(Methods, TuningMessagesReadBack) {
  retune::KeyTable table = retune::KeyTable::from_pitch_classes({0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4,
                                                                 -10.3, 6.8, -17.1});
  Method all;
  for (const retune::Bytes& events : {retune::single_note_tuning(table), retune::sysex_event(retune::bulk_tuning_dump(table)),
                                      retune::scale_octave_tuning(*table.pitch_classes(), all)}) {
    const auto pitches = pitches_after(events);
    for (int key = 0; key < retune::kKeys; ++key) EXPECT_NEAR(pitches[key], table.pitch(key), 0.013) << key;  // a step
  }
  const auto device = pitches_after(retune::Bytes{0x00, 0xF0, 0x10, 0x7F, 0x10, 0x08, 0x02, 0x00, 0x02, 0x45, 0x45,
                                                  0x20, 0x00, 0x46, 0x7F, 0x7F, 0x7F, 0xF7});
  EXPECT_DOUBLE_EQ(device[69], 6925);  // a quarter of the semitone above
  EXPECT_DOUBLE_EQ(device[70], 7000);
}

// The setup of --mts=keys for `table`, as hex text: two single-note
// messages (keys 0-126, then 127), then the selection of tuning program 0 on
// channel 1.
std::string keys_setup(const retune::KeyTable& table) {
  std::string text = " 00 F0 84 03 7F 7F 08 02 00 7F";  // 6 + 127 * 4 + 1 = 515 bytes
  for (int key = 0; key < retune::kKeys; ++key) {
    if (key == 127) text += " F7 00 F0 0B 7F 7F 08 02 00 01";
    const double offset = table.mapped[key] ? table.offset[key] : 0;
    const auto data = retune::note_frequency(100 * key + offset);
    text += ' ';
    text += to_hex(std::string{static_cast<char>(key), static_cast<char>(data[0]), static_cast<char>(data[1]),
                               static_cast<char>(data[2])});
  }
  return text + " F7 00 B0 65 00 00 B0 64 04 00 B0 06 00 00 B0 64 03 00 B0 06 00 00 B0 65 7F 00 B0 64 7F ";
}

Method mts_keys(uint16_t skipped = 0) {
  Method m;
  m.mts_keys = true;
  m.skipped_channels = skipped;
  return m;
}

TEST(Methods, SingleNoteTuningOfEveryKeyAndItsProgramFollowResets) {
  retune::KeyTable table = retune::KeyTable::from_pitch_classes({});
  table.offset[61] = 1200.0 / 19 - 100;  // 19-EDO's first step above C4
  table.offset[127] = 50;
  table.mapped[64] = false;  // its own pitch
  const std::string setup = keys_setup(table);
  EXPECT_NE(setup.find(" 3D 3C 50 6C "), std::string::npos);
  EXPECT_NE(setup.find(" 40 40 00 00 "), std::string::npos);
  EXPECT_NE(setup.find(" 01 7F 7F 40 00 F7"), std::string::npos);
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"00 90 3C 40 60 3C 00", "S 00 90 3C 40 60 3C 00"},
      {"00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7 00 90 3C 40", "00 FF 03 01 41 00 F0 05 7E 7F 09 01 F7 S 00 90 3C 40"},
      {"00 90 3C 40 60 F0 03 43 10 4C 10 F7 05 00 00 7E 00 F7 00 80 3C 00",
       "S 00 90 3C 40 60 F0 03 43 10 4C 10 F7 05 00 00 7E 00 F7 S 00 80 3C 00"},
  };
  for (const auto& c : cases) {
    retune::Counts counts;
    const std::string out = retune::retune_bytes(one_track(c.in), table, mts_keys(0xFFFE), &counts);
    EXPECT_EQ(to_hex(out), to_hex(one_track(with_setup(c.out, setup)))) << c.in;
    EXPECT_EQ(counts.bends, 0u);
  }
  // Sixteen channels by default, each with its seven controller events.
  const std::string all = retune::retune_bytes(one_track(""), table, mts_keys());
  EXPECT_EQ(all.size(), one_track("").size() + (4 + 515) + (3 + 11) + 16 * 7 * 4);
}

// The setup of --mts=bulk, as hex text: one bulk dump of 408 bytes (407
// after F0: 83 17), named "test" and padded with spaces, every key at its
// equal-tempered pitch but A4, 50 cents up; the checksum is 7E ^ 7F ^ 08 ^
// 01, the name's 74 ^ 65 ^ 73 ^ 74, and A4's 40 (half of 2^14): 5E. Then
// the selection of tuning program 0 on channel 1.
TEST(Methods, BulkDumpOfEveryKeyAndItsProgramFollowResets) {
  retune::KeyTable table = retune::KeyTable::from_pitch_classes({});
  table.offset[69] = 50;
  table.name = "test";
  std::string setup = " 00 F0 83 17 7E 7F 08 01 00 74 65 73 74 20 20 20 20 20 20 20 20 20 20 20 20";
  for (int key = 0; key < retune::kKeys; ++key) {
    setup += ' ';
    setup += to_hex(std::string{static_cast<char>(key), key == 69 ? '\x40' : '\0', '\0'});
  }
  setup += " 5E F7 00 B0 65 00 00 B0 64 04 00 B0 06 00 00 B0 64 03 00 B0 06 00 00 B0 65 7F 00 B0 64 7F ";
  Method bulk;
  bulk.mts_bulk = true;
  bulk.skipped_channels = 0xFFFE;
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"00 90 3C 40 60 3C 00", "S 00 90 3C 40 60 3C 00"},
      {"00 F0 05 7E 7F 09 01 F7 00 90 3C 40 60 F0 05 7E 7F 09 01 F7 00 80 3C 00",
       "00 F0 05 7E 7F 09 01 F7 S 00 90 3C 40 60 F0 05 7E 7F 09 01 F7 S 00 80 3C 00"},
  };
  for (const auto& c : cases) {
    retune::Counts counts;
    const std::string out = retune::retune_bytes(one_track(c.in), table, bulk, &counts);
    EXPECT_EQ(to_hex(out), to_hex(one_track(with_setup(c.out, setup)))) << c.in;
    EXPECT_EQ(counts.bends, 0u);
  }
}

// Keys beyond the bend range move to the nearest key, and every event that
// names the key follows; unmapped keys are played unbent.
TEST(Methods, KeysBeyondTheBendRangeArePlayedOnTheirNeighbours) {
  retune::KeyTable table = retune::KeyTable::from_pitch_classes({});
  table.offset[60] = 250;   // key 63, -50 cents: 8192 - 2048
  table.offset[62] = -230;  // key 60, -30 cents: 8192 - 1228
  table.offset[65] = 200;   // within the range: its own key, the highest bend
  table.mapped[64] = false;
  Method skip_drums;
  skip_drums.skipped_channels = 1u << 9;
  const struct {
    const char* in;
    const char* out;
    uint64_t moved_notes;  // note-ons that sound, played on another key
  } cases[] = {
      {"00 90 3C 40 00 A0 3C 20 10 3C 00 00 80 3C 40 00 3C 40",
       "00 90 3F 40 00 E0 00 30 00 A0 3F 20 10 3F 00 00 80 3F 40 00 3F 40", 1},
      {"00 90 3C 40 10 3C 00", "00 90 3F 40 00 E0 00 30 10 90 3F 00 00 E0 00 30", 1},
      {"00 90 3E 40 00 90 40 40 00 90 41 40", "00 90 3C 40 00 E0 34 36 00 90 40 40 00 E0 00 40 00 90 41 40 00 E0 7F 7F", 1},
      {"00 90 3C 40 00 90 3E 40 00 90 3C 40", "00 90 3F 40 00 E0 00 30 00 90 3C 40 00 E0 34 36 00 90 3F 40 00 E0 00 30", 3},
      {"00 99 3C 40 00 89 3C 40 00 B0 3C 40", "00 99 3C 40 00 89 3C 40 00 B0 3C 40", 0},  // left alone; no key
  };
  for (const auto& c : cases) {
    retune::Counts counts;
    EXPECT_EQ(to_hex(retune::retune_bytes(one_track(c.in), table, skip_drums, &counts)), to_hex(one_track(c.out))) << c.in;
    EXPECT_EQ(counts.moved_notes, c.moved_notes) << c.in;
  }
  // A wider range holds them on their keys.
  Method wide;
  wide.bend_range = 3;
  EXPECT_EQ(to_hex(retune::retune_bytes(one_track("00 90 3C 40"), table, wide)),
            to_hex(one_track("00 90 3C 40 00 E0 2A 75")));  // 8192 + trunc(250 * 0.01 * 8192 / 3)
}

TEST(Methods, ScaleOctaveMessageRefusesWhatItCannotSay) {
  retune::KeyTable per_key = retune::KeyTable::from_pitch_classes({});
  per_key.offset[72] = 10;
  retune::KeyTable unmapped = retune::KeyTable::from_pitch_classes({});
  unmapped.mapped[0] = false;
  Tuning wide{};
  wide[4] = 100.5;
  for (const retune::KeyTable& table : {per_key, unmapped, retune::KeyTable::from_pitch_classes(wide)}) {
    const Refusal r = refusal([&] { retune::retune_bytes(one_track("00 90 3C 40"), table, mts()); });
    EXPECT_EQ(r.message,
              "--mts tunes the twelve pitch classes alike in every octave, within 100 cents either way; "
              "for this tuning use --mts=keys\n");
    EXPECT_EQ(r.status, 4);
  }
}

TEST(Methods, BendRangeIsDeclaredAndScaled) {
  Tuning cent{};
  cent[0] = 100;  // 8192 + 682 at twelve semitones: 2A 45
  const std::string out = retune::retune_bytes(one_track("00 90 3C 40"), cent, bend_range(12, 0xFFFE));
  EXPECT_EQ(to_hex(out), to_hex(one_track("00 B0 65 00 00 B0 64 00 00 B0 06 0C 00 B0 26 00 00 B0 65 7F 00 B0 64 7F "
                                          "00 90 3C 40 00 E0 2A 45")));
  // All sixteen channels by default, each with its own six messages.
  const std::string all = retune::retune_bytes(one_track("00 FF 2F 00"), Tuning{}, bend_range(2));
  EXPECT_EQ(all.size(), one_track("00 FF 2F 00").size() + 16 * 6 * 4);
}

TEST(Methods, SkippedChannelsPassUntouched) {
  Tuning cent{};
  cent[0] = -10;
  Method skip_drums;
  skip_drums.skipped_channels = 1u << 9;
  EXPECT_EQ(to_hex(retune::retune_bytes(one_track("00 99 24 40 00 90 24 40 00 99 24 00"), cent, skip_drums)),
            to_hex(one_track("00 99 24 40 00 90 24 40 00 E0 67 3C 00 99 24 00")));
}

// Every combination stays a faithful copy with exactly the expected insertions.
TEST(Methods, CombinationsKeepEveryLengthExact) {
  const std::string in = read_file(fs::path(EXAMPLES_DIR) / "two-voices.mid") ;
  Tuning cent = {0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4, -10.3, 6.8, -17.1};
  for (const Method& m : {mts(), mts(1u << 9), bend_range(1), bend_range(24, 3), bend_range(2, 0xFFFF)})
    EXPECT_EQ(check_retuned(in, retune::retune_bytes(in, cent, m), cent, m), "");
}

TEST(Methods, CommandLineRangesFollowTheMethod) {
  TempDir dir;
  write_file(dir / "in.mid", read_file(fs::path(EXAMPLES_DIR) / "melody.mid"));
  auto run = [&](std::vector<std::string> options, const std::string& c_offset) {
    options.push_back(c_offset);
    for (int i = 0; i < 11; ++i) options.push_back("0");
    options.push_back("in.mid");
    return run_program(RETUNE_BIN, options, RunOptions().at(dir.path().string()));
  };
  const struct {
    std::vector<std::string> options;
    const char* offset;
    int status;
    const char* message;
  } cases[] = {
      {{"--mts"}, "100", 0, ""},
      {{"--mts"}, "-100.5", 4, "Invalid tuning offset \"-100.5\" for C: expected cents from -100 to 100\n"},
      {{"--bend-range", "1"}, "150", 4, "Invalid tuning offset \"150\" for C: expected cents from -100 to 100\n"},
      {{"--bend-range", "12"}, "1200", 0, ""},
      {{"--bend-range=12"}, "-1201", 4, "Invalid tuning offset \"-1201\" for C: expected cents from -1200 to 1200\n"},
      {{"--skip-drums", "--skip-channel", "1"}, "200", 0, ""},
      {{"--mts=keys"}, "1200", 0,
       "retune: 1 key lies beyond the pitches this method reaches in MIDI's range, by up to 400.0 cents: no note is "
       "played there\n"},
      {{"--mts=bulk"}, "1200", 0,
       "retune: 1 key lies beyond the pitches this method reaches in MIDI's range, by up to 400.0 cents: no note is "
       "played there\n"},
      {{"--mts=key"}, "0", 4, "Invalid value \"key\" for --mts: expected --mts=keys or --mts=bulk\n"},
      {{"--mts", "--mts=keys"}, "0", 4, "Give either --mts or --mts=keys, not both\n"},
      {{"--mts=bulk", "--mts=bulk", "--mts=keys"}, "0", 4, "Give either --mts=bulk or --mts=keys, not both\n"},
      {{"--mts=keys", "--bend-range", "3"}, "0", 4,
       "Give either --mts or --bend-range, not both: a tuning message uses no pitch bends\n"},
  };
  for (const auto& c : cases) {
    const Result r = run(c.options, c.offset);
    EXPECT_EQ(r.status, c.status) << c.offset;
    EXPECT_EQ(r.err, c.message);
  }
}

// Tunings of the keys one by one, through the command line.
TEST(Methods, PerKeyTuningsPlayAsFarAsTheMethodCan) {
  TempDir dir;
  write_file(dir / "in.mid", read_file(fs::path(EXAMPLES_DIR) / "melody.mid"));
  write_file(dir / "wide.scl", "C# and D out of range\n12\n301.0\n520.0\n300.0\n400.0\n500.0\n600.0\n700.0\n800.0\n900.0\n"
                               "1000.0\n1100.0\n2/1\n");
  const struct {
    std::vector<std::string> args;
    const char* report;
    std::vector<const char*> bytes;  // found in the output
  } cases[] = {
      {{"--scl", "wide.scl"}, "retune: 14 pitch-bend events inserted, 2 notes moved to the nearest key\n",
       {"90 41 50 00 E0 33 46 60 80 41 40"}},  // D, 320 cents up, plays F 20 cents up: 8192 + 819
      {{"--mts=keys", "--tuning", "edo:19"}, "retune: 0 pitch-bend events inserted, 2 tuning messages\n",
       {"00 F0 84 03 7F 7F 08 02 00 7F 00 16 0D 3D",  // key 0: 60 steps of 19-EDO below C4, 2210.5 cents
        " 3D 3C 50 6C "}},                           // key 61: a step above C4, 6063.16 cents
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--verbose");
    args.push_back("in.mid");
    const Result r = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.report);
    for (const char* bytes : c.bytes) EXPECT_NE(to_hex(r.out).find(bytes), std::string::npos) << bytes;
  }
}

// Pitches beyond what MIDI's keys (and the bends past them) reach are said,
// with the notes played on them; the run succeeds.
TEST(Methods, PitchesBeyondReachAreReported) {
  TempDir dir;
  // Key 100 twice (15,600 cents in 5-EDO from key 60), key 60 once.
  write_file(dir / "in.mid", one_track("00 90 64 40 60 80 64 40 00 90 3C 40 60 80 3C 40 00 90 64 40 60 64 00"));
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"--mts=keys"}, "retune: 74 keys lie beyond the pitches this method reaches in MIDI's range, by up to 9280.0 "
                       "cents: 2 notes played there sound at the nearest pitch it reaches\n"},
      {{}, "retune: 74 keys lie beyond the pitches this method reaches in MIDI's range, by up to 9180.0 cents: 2 notes "
           "played there sound at the nearest pitch it reaches\n"},
      {{"--poly"}, "retune: 74 keys lie beyond the pitches this method reaches in MIDI's range, by up to 9180.0 cents: "
                   "2 notes played there sound at the nearest pitch it reaches\n"},
      {{"--skip-channel", "1"}, "retune: 74 keys lie beyond the pitches this method reaches in MIDI's range, by up to "
                                "9180.0 cents: no note is played there\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--tuning", "edo:5", "in.mid", "out.mid"});
    const Result r = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.message) << args[0];
  }
}

TEST(Methods, MidicsvSeesTheInsertedMessages) {
  if (!have_program("midicsv")) GTEST_SKIP() << "midicsv is not installed";
  TempDir dir;
  write_file(dir / "in.mid", read_file(fs::path(EXAMPLES_DIR) / "two-voices.mid"));
  const std::string offsets[] = {"50", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"};
  auto csv = [&](std::vector<std::string> options) {
    options.insert(options.end(), std::begin(offsets), std::end(offsets));
    options.push_back("in.mid");
    options.push_back("out.mid");
    EXPECT_EQ(run_program(RETUNE_BIN, options, RunOptions().at(dir.path().string())).status, 0);
    const Result r = run_program("midicsv", {(dir / "out.mid").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  const std::string tuned = csv({"--mts"});
  EXPECT_NE(tuned.find("1, 0, System_exclusive, 32, 127, 127, 8, 9, 3, 127, 127, 96, 0, 64, 0"), std::string::npos) << tuned;
  EXPECT_EQ(tuned.find("Pitch_bend_c"), std::string::npos);
  const std::string ranged = csv({"--bend-range", "12", "--skip-drums"});
  EXPECT_NE(ranged.find("1, 0, Control_c, 0, 6, 12"), std::string::npos);
  EXPECT_EQ(ranged.find("Control_c, 9, 6, 12"), std::string::npos);
  EXPECT_NE(ranged.find("Pitch_bend_c, 0, 8533"), std::string::npos);  // 8192 + trunc(50 * 0.01 * 8192 / 12)
}

}  // namespace
