// Retuned files as synthesizers play them: rendered by FluidSynth and
// TiMidity++ where they are installed, each note's pitch measured.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "run_binary.h"
#include "smf_builder.h"

using namespace smf_test;

namespace {

const char kSoundFont[] = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
constexpr int kRate = 44100;
constexpr int kTicksPerNote = 240;  // 1.25 s at 96 ticks a beat, 120 beats a minute: 1 s held, 0.25 s rest
constexpr double kSecondsPerNote = 1.25;

// Piano notes one after another, after a GM System On at the first tick.
std::string melody(const std::vector<int>& keys) {
  std::string events = hex("00 FF 51 03 07 A1 20 00 F0 05 7E 7F 09 01 F7 00 C0 00");
  for (size_t i = 0; i < keys.size(); ++i) {
    const char key = static_cast<char>(keys[i]);
    events += vlq(i == 0 ? 0 : kTicksPerNote - 192) + std::string{'\x90', key, 100};
    events += vlq(192) + std::string{'\x80', key, 64};
  }
  return smf({events + hex("00 FF 2F 00")}, 0);
}

// The samples of a 16-bit PCM WAV file, channels averaged.
std::vector<double> wav_samples(const std::string& wav) {
  auto u16 = [&](size_t at) { return static_cast<uint8_t>(wav[at]) | static_cast<uint8_t>(wav[at + 1]) << 8; };
  auto u32 = [&](size_t at) { return static_cast<uint32_t>(u16(at)) | static_cast<uint32_t>(u16(at + 2)) << 16; };
  size_t channels = 1;
  std::vector<double> samples;
  for (size_t at = 12; at + 8 <= wav.size(); at += 8 + u32(at + 4)) {
    const std::string id = wav.substr(at, 4);
    if (id == "fmt ") channels = u16(at + 10);
    if (id != "data") continue;
    const size_t end = std::min<size_t>(wav.size(), at + 8 + u32(at + 4));
    for (size_t p = at + 8; p + 2 * channels <= end; p += 2 * channels) {
      double sum = 0;
      for (size_t c = 0; c < channels; ++c) sum += static_cast<int16_t>(u16(p + 2 * c));
      samples.push_back(sum / static_cast<double>(channels));
    }
    break;
  }
  return samples;
}

// The strength of `frequency` in `samples` under a Hann window.
double strength(const std::vector<double>& samples, size_t from, size_t count, double frequency) {
  const double step = 2 * std::numbers::pi * frequency / kRate;
  double re = 0, im = 0;
  for (size_t i = 0; i < count; ++i) {
    const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / (count - 1));
    re += samples[from + i] * window * std::cos(step * i);
    im -= samples[from + i] * window * std::sin(step * i);
  }
  return std::hypot(re, im);
}

// The strongest frequency within 150 cents of `near`, to about 0.1 cent.
double measured_pitch(const std::vector<double>& samples, size_t from, size_t count, double near) {
  double best_cents = 0, best = -1;
  for (double cents = -150; cents <= 150; cents += 2) {
    const double s = strength(samples, from, count, near * std::exp2(cents / 1200));
    if (s > best) best = s, best_cents = cents;
  }
  for (double span = 2; span > 0.05; span /= 2) {
    const double centre = best_cents;
    for (double cents : {centre - span, centre + span}) {
      const double s = strength(samples, from, count, near * std::exp2(cents / 1200));
      if (s > best) best = s, best_cents = cents;
    }
  }
  return near * std::exp2(best_cents / 1200);
}

// The samples of `midi` as `synth` plays it, into `wav`.
std::vector<double> render(const std::string& synth, const std::string& midi, const std::string& wav) {
  const Result played =
      synth == "fluidsynth"
          ? run_program("fluidsynth", {"-ni", "-R", "0", "-C", "0", "-r", "44100", "-F", wav, kSoundFont, midi})
          : run_program("timidity", {"-Ow", "-s", "44100", "-EFreverb=0", "-EFchorus=0", "-o", wav, midi});
  EXPECT_EQ(played.status, 0) << played.err;
  return wav_samples(read_file(wav));
}

TEST(Render, SynthesizersPlayTheRetunedPitches) {
  if (!have_program("fluidsynth") || !fs::exists(kSoundFont)) GTEST_SKIP() << "fluidsynth or its sound font is missing";
  TempDir dir;
  // 19 equal divisions of the octave from middle C: keys 61, 62 and 66 lie
  // 37, 74 and 221 cents below their equal-tempered pitches.
  const std::vector<int> keys = {60, 61, 62, 66};
  write_file(dir / "in.mid", melody(keys));
  const struct {
    std::vector<std::string> method;
    const char* synth;
  } cases[] = {
      {{"--mts=keys"}, "fluidsynth"},
      {{}, "fluidsynth"},  // key 66 played on key 64
      {{"--poly"}, "fluidsynth"},
      {{"--mts=keys"}, "timidity"},
      // FluidSynth answers requests for bulk dumps but takes none.
      {{"--mts=bulk"}, "timidity"},
  };
  for (const auto& c : cases) {
    if (!have_program(c.synth)) continue;
    std::vector<std::string> args = c.method;
    for (const char* a : {"--tuning", "edo:19", "in.mid", "out.mid"}) args.push_back(a);
    ASSERT_EQ(run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string())).status, 0);
    const std::string wav = (dir / "out.wav").string();
    const std::string midi = (dir / "out.mid").string();
    const std::vector<double> samples = render(c.synth, midi, wav);
    for (size_t n = 0; n < keys.size(); ++n) {
      const double expected = 261.6255653 * std::exp2((keys[n] - 60) / 19.0);
      const auto from = static_cast<size_t>((kSecondsPerNote * n + 0.35) * kRate);
      const size_t count = kRate * 3 / 10;
      ASSERT_LE(from + count, samples.size()) << c.synth;
      const double cents = 1200 * std::log2(measured_pitch(samples, from, count, expected) / expected);
      EXPECT_LT(std::fabs(cents), 3) << c.synth << (c.method.empty() ? " bends" : " " + c.method[0]) << ", key "
                                     << keys[n] << ": " << cents << " cents off";
    }
  }
}

TEST(Render, PolyPlaysEveryToneOfAChordInTune) {
  if (!have_program("fluidsynth") || !fs::exists(kSoundFont)) GTEST_SKIP() << "fluidsynth or its sound font is missing";
  TempDir dir;
  // Six notes at once on one channel, flute (steady, nearly a sine), rendered
  // unbent and through --poly in quarter-comma meantone; measured against the
  // unbent chord, so that the samples' own tuning cancels out. FluidSynth
  // resolves pitch to whole cents.
  const std::vector<int> keys = {60, 62, 64, 67, 69, 71};
  const std::vector<std::string> meantone = {"0", "-24", "-6.8", "10.3", "-13.7", "3.4", "-20.5", "-3.4", "-27.4",
                                             "-10.3", "6.8", "-17.1"};
  std::string events = hex("00 C0 49");
  for (int k : keys) events += std::string{'\0', '\x90', static_cast<char>(k), 100};
  for (size_t i = 0; i < keys.size(); ++i) events += vlq(i == 0 ? 384 : 0) + std::string{'\x80', static_cast<char>(keys[i]), 0};
  write_file(dir / "plain.mid", smf({events + hex("00 FF 2F 00")}, 0));
  std::vector<std::string> args = {"--poly"};
  args.insert(args.end(), meantone.begin(), meantone.end());
  for (const char* a : {"plain.mid", "poly.mid"}) args.push_back(a);
  ASSERT_EQ(run_program(RETUNE_BIN, args, RunOptions().at(dir.path().string())).status, 0);
  std::vector<double> samples[2];
  for (int i = 0; i < 2; ++i) {
    const std::string name = i == 0 ? "plain" : "poly";
    samples[i] = render("fluidsynth", (dir / (name + ".mid")).string(), (dir / (name + ".wav")).string());
    ASSERT_GE(samples[i].size(), static_cast<size_t>(kRate));
  }
  for (int k : keys) {
    const double equal = 261.6255653 * std::exp2((k - 60) / 12.0);
    const double plain = measured_pitch(samples[0], kRate / 2, kRate / 2, equal);
    const double poly = measured_pitch(samples[1], kRate / 2, kRate / 2, equal);
    EXPECT_NEAR(1200 * std::log2(poly / plain), std::stod(meantone[k % 12]), 1.0) << "key " << k;
  }
}

// A held C major triad (flute) planned just: the third 386 cents above the
// root, the fifth 702, measured against the unbent triad as above. The MPE
// file's members bend 48 semitones, which FluidSynth takes from RPN 0.
TEST(Render, AdaptiveTriadIsJust) {
  if (!have_program("fluidsynth") || !fs::exists(kSoundFont)) GTEST_SKIP() << "fluidsynth or its sound font is missing";
  TempDir dir;
  const std::vector<int> keys = {60, 64, 67};
  std::string events = hex("00 C0 49");
  for (int k : keys) events += std::string{'\0', '\x90', static_cast<char>(k), 100};
  for (size_t i = 0; i < keys.size(); ++i) events += vlq(i == 0 ? 384 : 0) + std::string{'\x80', static_cast<char>(keys[i]), 0};
  write_file(dir / "plain.mid", smf({events + hex("00 FF 2F 00")}, 0));
  const std::vector<double> plain = render("fluidsynth", (dir / "plain.mid").string(), (dir / "plain.wav").string());
  const struct {
    const char* method;
    const char* synth;
  } cases[] = {{"--poly", "fluidsynth"}, {"--mpe", "fluidsynth"}, {"--mts=keys", "fluidsynth"}, {"--mts=keys", "timidity"}};
  for (const auto& c : cases) {
    if (!have_program(c.synth)) continue;
    ASSERT_EQ(run_program(RETUNE_BIN, {"--adaptive", c.method, "plain.mid", "just.mid"}, RunOptions().at(dir.path().string())).status, 0);
    const std::vector<double> just = render(c.synth, (dir / "just.mid").string(), (dir / "just.wav").string());
    const std::vector<double>& reference = std::string(c.synth) == "fluidsynth" ? plain : render(c.synth, (dir / "plain.mid").string(), (dir / "ref.wav").string());
    std::vector<double> shift;  // cents each key moved
    for (int k : keys) {
      const double equal = 261.6255653 * std::exp2((k - 60) / 12.0);
      shift.push_back(1200 * std::log2(measured_pitch(just, kRate / 2, kRate / 2, equal) /
                                       measured_pitch(reference, kRate / 2, kRate / 2, equal)));
    }
    EXPECT_NEAR(400 + shift[1] - shift[0], 386.3, 1.0) << c.method << " on " << c.synth << ": the third";
    EXPECT_NEAR(700 + shift[2] - shift[0], 702.0, 1.0) << c.method << " on " << c.synth << ": the fifth";
  }
}

}  // namespace
