// Properties over generated files: the output is the input with exactly the
// expected events inserted and every length exact, files without note-ons
// pass through unchanged, and an independent reader (midicsv) agrees.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "midi_model.h"
#include "retune/retune.h"
#include "run_binary.h"
#include "smf_gen.h"

using namespace smf_test;
using retune::Method;
using retune::Tuning;

namespace {

Tuning random_tuning(Random& rng, double limit) {
  Tuning cent;
  for (double& c : cent) c = (static_cast<double>(rng.below(400001)) / 200000.0 - 1.0) * limit;
  return cent;
}

TEST(Properties, GeneratedFilesRetuneExactly) {
  Random rng(7);
  for (uint64_t seed = 1; seed <= 60; ++seed) {
    const std::string in = generate_smf({.seed = seed, .target_bytes = 500 + seed * 300, .note_tracks = 1 + int(seed % 16)});
    const Tuning cent = random_tuning(rng, 200);
    const std::string out = retune::retune_bytes(in, cent);
    ASSERT_EQ(check_retuned(in, out, cent), "") << "seed " << seed;
  }
}

// Small files made of arbitrary events of every kind, running status
// anywhere (also across tracks), odd lengths, alien chunks and trailing bytes.
std::string random_events(Random& rng, uint8_t& last_status) {
  std::string t;
  const int events = static_cast<int>(rng.below(12));
  for (int i = 0; i < events; ++i) {
    t += vlq(rng.chance(80) ? rng.below(128) : rng.below(1u << 28));
    const uint8_t kinds[] = {0x80, 0x90, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0xF7, 0xFF, 0xF8, 0xF1};
    uint8_t status = kinds[rng.below(sizeof kinds)];
    if (status < 0xF0) status |= static_cast<uint8_t>(rng.below(16));
    const bool running = last_status != 0 && last_status < 0xF0 && rng.chance(40);
    if (running) status = last_status;
    else t += static_cast<char>(status);
    last_status = status;
    auto data = [&] { t += static_cast<char>(rng.below(128)); };
    if (status == 0xFF) {
      data();
      const uint32_t len = rng.chance(90) ? rng.below(20) : 128 + rng.below(300);
      t += vlq(len) + std::string(len, 'm');
    } else if (status == 0xF0 || status == 0xF7) {
      const uint32_t len = rng.chance(90) ? rng.below(20) : 128 + rng.below(300);
      t += vlq(len) + std::string(len, '\x01');
    } else if (status == 0xF8) {
    } else if (status == 0xF1 || (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) {
      data();
    } else {
      data();
      data();
    }
  }
  return t;
}

TEST(Properties, ArbitraryEventsAndMethodsRetuneExactly) {
  Random rng(11);
  for (int round = 0; round < 3000; ++round) {
    const int ntracks = static_cast<int>(rng.below(5));
    std::string in = header(1, static_cast<uint16_t>(ntracks));
    uint8_t last_status = 0;
    for (int t = 0; t < ntracks; ++t) {
      if (rng.chance(10)) in += "XFIL" + be32(3) + "abc";
      std::string events = random_events(rng, last_status);
      in += track(events);
    }
    if (rng.chance(20)) in += "trailing";
    Method method;
    method.skipped_channels = rng.chance(30) ? static_cast<uint16_t>(rng.below(1 << 16)) : 0;
    if (rng.chance(25)) {
      method.mts = true;
      method.bend_range = 1;
    } else if (rng.chance(15)) {
      method.mts_keys = true;
    } else if (rng.chance(10)) {
      method.mts_bulk = true;
    } else if (rng.chance(30)) {
      method.bend_range = 1 + static_cast<int>(rng.below(24));
      method.declare_bend_range = true;
    }
    const Tuning cent = random_tuning(rng, retune::max_offset(method));
    const std::string out = retune::retune_bytes(in, cent, method);
    ASSERT_EQ(check_retuned(in, out, cent, method), "") << "round " << round << ": " << to_hex(in);
  }
}

TEST(Properties, FilesWithoutNoteOnsPassThroughUnchanged) {
  Random rng(3);
  for (int round = 0; round < 500; ++round) {
    std::string events;
    const int n = static_cast<int>(rng.below(30));
    for (int i = 0; i < n; ++i) {
      const char channel = static_cast<char>(rng.below(16));
      switch (rng.below(4)) {
        case 0: events += vlq(rng.below(5000)) + std::string{static_cast<char>(0x80 | channel), 60, 0}; break;
        case 1: events += vlq(rng.below(5000)) + std::string{static_cast<char>(0xB0 | channel), 7, 100}; break;
        case 2: events += hex("00 FF 01") + vlq(200) + std::string(200, 't'); break;
        default: events += hex("00 F0 05 7E 7F 09 01 F7"); break;
      }
    }
    const std::string in = smf({events, hex("00 FF 2F 00")});
    ASSERT_EQ(retune::retune_bytes(in, random_tuning(rng, 200)), in);
  }
}

// midicsv prints one line per event; after every Note_on_c on a channel
// there must be a Pitch_bend_c on that channel with the expected value.
TEST(Properties, MidicsvSeesEveryBend) {
  if (!have_program("midicsv")) GTEST_SKIP() << "midicsv is not installed";
  TempDir dir;
  Random rng(5);
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    const std::string in = generate_smf({.seed = seed, .target_bytes = 20000, .note_tracks = 4});
    const Tuning cent = random_tuning(rng, 199);
    write_file(dir / "out.mid", retune::retune_bytes(in, cent));
    const Result csv = run_program("midicsv", {(dir / "out.mid").string()});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream lines(csv.out);
    std::string line, pending;
    int notes = 0;
    while (std::getline(lines, line)) {
      if (!pending.empty()) {
        EXPECT_EQ(line.rfind(pending, 0), 0u) << "expected " << pending << " got " << line;
        pending.clear();
      }
      int track, time, channel, note, velocity;
      if (std::sscanf(line.c_str(), "%d, %d, Note_on_c, %d, %d, %d", &track, &time, &channel, &note, &velocity) == 5) {
        ++notes;
        pending = std::to_string(track) + ", " + std::to_string(time) + ", Pitch_bend_c, " + std::to_string(channel) + ", " +
                  std::to_string(retune::bend_value(cent[note % 12], 2));
      }
    }
    EXPECT_GT(notes, 10);
    EXPECT_TRUE(pending.empty());
  }
}

}  // namespace

namespace {

// Hands out the bytes a few at a time, so that buffer refills fall inside
// every kind of event and both lanes of the walk meet at every boundary.
class TrickleSource final : public retune::io::ByteSource {
 public:
  TrickleSource(std::string_view bytes, uint64_t seed) : rest_(bytes), rng_(seed) {}
  size_t read(uint8_t* buffer, size_t capacity) override {
    const size_t n = std::min({capacity, rest_.size(), size_t{1} + rng_.below(40)});
    std::memcpy(buffer, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view rest_;
  Random rng_;
};

TEST(Properties, AnyReadSizesGiveTheSameBytes) {
  const std::string in = generate_smf({.seed = 21, .target_bytes = 1 << 20});
  Random rng(21);
  const Tuning cent = random_tuning(rng, 200);
  const std::string whole = retune::retune_bytes(in, cent);  // larger than every buffer
  ASSERT_EQ(check_retuned(in, whole, cent), "");

  retune::Layout layout;
  TrickleSource source(in, 1);
  retune::io::ByteReader fpi(source);
  retune::io::MemorySink scratch;
  retune::io::ByteWriter fptmp(scratch);
  retune::pass1(fpi, fptmp, layout, retune::KeyTable::from_pitch_classes(cent));
  fptmp.flush();
  TrickleSource scratch_source(scratch.bytes(), 2);
  retune::io::ByteReader scratch_reader(scratch_source);
  retune::io::MemorySink out;
  retune::io::ByteWriter fpo(out);
  retune::pass2(scratch_reader, fpo, layout);
  fpo.flush();
  EXPECT_TRUE(out.bytes() == whole);
}

// Blocks longer than a buffer, between real files: a long sysex dump, an
// alien chunk and trailing bytes in pass 1, whole tracks in pass 2.
TEST(Properties, LargeBlocksArriveIntact) {
  TempDir dir;
  std::string dump(300000, '\0');
  for (size_t i = 0; i < dump.size(); ++i) dump[i] = static_cast<char>(i % 127);
  dump.back() = '\xF7';
  const std::string big_track = generate_note_track(*std::make_unique<Random>(8), 0, 3 << 20, true);
  const std::string alien = "XFIL" + be32(static_cast<uint32_t>(dump.size())) + dump;
  const std::string in = header(1, 2) +
                         track(hex("00 F0") + vlq(static_cast<uint32_t>(dump.size())) + dump + hex("00 90 3C 40 00 FF 2F 00")) +
                         alien + track(big_track) + dump;
  write_file(dir / "in.mid", in);
  std::vector<std::string> args(12, "-10");
  args.push_back("in.mid");
  args.push_back("out.mid");
  const Result r = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
  ASSERT_EQ(r.status, 0) << r.err;
  Tuning cent;
  cent.fill(-10);
  const std::string out = read_file(dir / "out.mid");
  EXPECT_EQ(check_retuned(in, out, cent), "");
  EXPECT_TRUE(out == retune::retune_bytes(in, cent));

  // The dump cut short: what there is is copied, then end of input.
  write_file(dir / "in.mid", in.substr(0, 200000));
  const Result cut = run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string()));
  EXPECT_EQ(cut.err, "File format error: EOF encountered\n");
  EXPECT_EQ(cut.status, 255);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mid", "out.mid"}));
  EXPECT_TRUE(read_file(dir / "out.mid") == out);
}

}  // namespace

namespace {

// A sink that cannot be patched: the output takes both passes.
class StreamSink final : public retune::io::ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override { return inner.write(data, size); }
  retune::io::MemorySink inner;
};

class StringScratch final : public retune::Scratch {
 public:
  retune::io::ByteSink& sink() override { return sink_; }
  retune::io::ByteSource& reread() override { return source_.emplace(sink_.bytes()); }

 private:
  retune::io::MemorySink sink_;
  std::optional<retune::io::MemorySource> source_;
};

TEST(Properties, OnePassIntoAPatchedOutputGivesTheBytesOfTwo) {
  const struct {
    const char* name;
    Method method;
  } cases[] = {
      {"bends", Method{}},
      {"mts", [] { Method m; m.mts = true; return m; }()},
      {"mts keys", [] { Method m; m.mts_keys = true; return m; }()},
      {"mts bulk", [] { Method m; m.mts_bulk = true; return m; }()},
      {"bend range 12", [] { Method m; m.bend_range = 12; m.declare_bend_range = true; return m; }()},
  };
  for (const auto& c : cases)
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      const std::string in = generate_smf({.seed = seed, .target_bytes = 300000});
      const auto keys = retune::KeyTable::from_pitch_classes({0, -24, -6.8, 10.3, -13.7, 3.4, -20.5, -3.4, -27.4, -10.3, 6.8, -17.1});
      retune::io::MemorySource a(in), b(in);
      StringScratch unused, scratch;
      retune::io::MemorySink patched;
      StreamSink streamed;
      ASSERT_TRUE(patched.can_patch() && !streamed.can_patch());
      retune::run_passes(a, unused, patched, keys, c.method);
      retune::run_passes(b, scratch, streamed, keys, c.method);
      EXPECT_TRUE(patched.bytes() == streamed.inner.bytes()) << c.name << " " << seed;
      EXPECT_NE(patched.bytes(), in) << c.name;
    }
}

}  // namespace
