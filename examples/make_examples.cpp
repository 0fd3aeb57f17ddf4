// Writes the example MIDI files into the directory given as the argument.
// The committed files in examples/ are exactly what this writes.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/smf_builder.h"

using namespace smf_test;

namespace {

struct Note {
  int pitch;  // MIDI note number
  int ticks;  // length at 96 ticks a quarter note
};

// "Twinkle, twinkle, little star", first phrase, in C major.
const std::vector<Note> kTwinkle = {{60, 96}, {60, 96}, {67, 96}, {67, 96}, {69, 96}, {69, 96}, {67, 192},
                                    {65, 96}, {65, 96}, {64, 96}, {64, 96}, {62, 96}, {62, 96}, {60, 192}};
// A second voice a third below, on the same rhythm.
const std::vector<Note> kSecond = {{52, 96}, {52, 96}, {64, 96}, {64, 96}, {65, 96}, {65, 96}, {64, 192},
                                   {62, 96}, {62, 96}, {60, 96}, {60, 96}, {59, 96}, {59, 96}, {52, 192}};

const std::string kTempo = hex("00 FF 51 03 07 A1 20");  // 120 beats a minute
const std::string kEnd = hex("00 FF 2F 00");

// Note-on and note-off with their own status bytes.
std::string plain_voice(const std::vector<Note>& notes, int channel, int program) {
  std::string t = hex("00") + static_cast<char>(0xC0 | channel) + static_cast<char>(program);
  for (const Note& n : notes) {
    t += hex("00") + static_cast<char>(0x90 | channel) + static_cast<char>(n.pitch) + hex("50");
    t += vlq(static_cast<uint32_t>(n.ticks)) + static_cast<char>(0x80 | channel) + static_cast<char>(n.pitch) + hex("40");
  }
  return t + kEnd;
}

// One note-on status, then running status with velocity-0 note-offs.
std::string running_voice(const std::vector<Note>& notes, int channel, int program) {
  std::string t = hex("00") + static_cast<char>(0xC0 | channel) + static_cast<char>(program);
  t += hex("00") + static_cast<char>(0x90 | channel);
  bool first = true;
  for (const Note& n : notes) {
    if (!first) t += hex("00");
    first = false;
    t += static_cast<char>(n.pitch) + hex("50");
    t += vlq(static_cast<uint32_t>(n.ticks)) + static_cast<char>(n.pitch) + hex("00");
  }
  return t + kEnd;
}

bool write(const std::string& dir, const char* name, const std::string& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s directory\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::string title = hex("00 FF 03") + vlq(7) + "Twinkle";
  const bool ok = write(dir, "melody.mid", smf({kTempo + title + plain_voice(kTwinkle, 0, 73)}, 0)) &&
                  write(dir, "two-voices.mid",
                        smf({kTempo + title + kEnd, running_voice(kTwinkle, 0, 73), running_voice(kSecond, 1, 71)}, 1));
  return ok ? 0 : 1;
}
