#include "retune/messages.h"

#include <algorithm>
#include <cmath>

#include "retune/pitch.h"
#include "smf/controllers.h"
#include "smf/sysex.h"

namespace retune {

namespace {

using namespace smf::gm;

constexpr uint8_t kTuningProgramParameter = 0x03;
constexpr uint8_t kTuningBankParameter = 0x04;

// MIDI Tuning Standard scale/octave tuning, 2-byte form, real time, all
// devices; the channel mask and the twelve values follow.
constexpr uint8_t kScaleOctaveHeader[] = {0x7F, 0x7F, 0x08, 0x09};

// MIDI Tuning Standard single note tuning change, real time, all devices;
// the tuning program, the number of keys and each key's data follow.
constexpr uint8_t kSingleNoteHeader[] = {0x7F, 0x7F, 0x08, 0x02};
constexpr uint8_t kTuningProgram = 0;
constexpr int kKeysPerMessage = 127;  // the count is a data byte

// MIDI Tuning Standard bulk dump, non-real time, all devices; the tuning
// program, the name, each key's data and the checksum follow.
constexpr uint8_t kBulkDumpHeader[] = {0x7E, 0x7F, 0x08, 0x01};
constexpr size_t kTuningNameBytes = 16;

void add_controller(Bytes& bytes, int channel, uint8_t controller, uint8_t value) {
  for (uint8_t byte : {uint8_t{0x00}, static_cast<uint8_t>(smf::kController | channel), controller, value})
    bytes.push_back(byte);
}

// A system-exclusive event whose message, after F0, is `body`.
void add_sysex(Bytes& bytes, std::span<const uint8_t> body) {
  bytes.push_back(0x00);
  bytes.push_back(smf::kSysEx);
  uint8_t length[4];
  const size_t size = smf::write_vlq(static_cast<uint32_t>(body.size()), length);
  bytes.insert(bytes.end(), length, length + size);
  bytes.insert(bytes.end(), body.begin(), body.end());
}

void add_14_bits(Bytes& bytes, int value) {
  bytes.push_back(static_cast<uint8_t>(value >> 7));
  bytes.push_back(static_cast<uint8_t>(value & 0x7F));
}

}  // namespace

Bytes bend_range_setting(const Method& method) {
  Bytes bytes;
  for (int channel = 0; channel < kChannels; ++channel) {
    if (method.skips(channel)) continue;
    add_controller(bytes, channel, kRpnMsb, kBendRangeParameter);
    add_controller(bytes, channel, kRpnLsb, kBendRangeParameter);
    add_controller(bytes, channel, kDataEntry, static_cast<uint8_t>(method.bend_range));
    add_controller(bytes, channel, kDataEntryLsb, 0x00);
    add_controller(bytes, channel, kRpnMsb, kNullParameter);
    add_controller(bytes, channel, kRpnLsb, kNullParameter);
  }
  return bytes;
}

Bytes scale_octave_tuning(const Tuning& cent, const Method& method) {
  uint32_t mask = 0;  // bit n: channel n
  for (int channel = 0; channel < kChannels; ++channel)
    if (!method.skips(channel)) mask |= 1u << channel;
  Bytes body(std::begin(kScaleOctaveHeader), std::end(kScaleOctaveHeader));
  body.push_back(static_cast<uint8_t>(mask >> 14));
  add_14_bits(body, static_cast<int>(mask & 0x3FFF));
  for (double cents : cent) add_14_bits(body, bend_value(cents, 1));
  body.push_back(smf::kEndOfExclusive);
  Bytes bytes;
  add_sysex(bytes, body);
  return bytes;
}

std::array<uint8_t, 3> note_frequency(double cents) {
  const double pitch = cents > 0 ? std::min(cents, 100.0 * kKeys) : 0.0;
  const double semitone = std::floor(pitch / 100);
  const int64_t fraction = std::llround((pitch - 100 * semitone) / 100 * kFractionSteps);
  // A fraction that rounds up to a whole step carries into the semitone.
  const int64_t steps =
      std::min(static_cast<int64_t>(semitone) * kFractionSteps + fraction, kHighestFrequency);
  return {static_cast<uint8_t>(steps >> 14), static_cast<uint8_t>((steps >> 7) & 0x7F),
          static_cast<uint8_t>(steps & 0x7F)};
}

namespace {

// Single note tuning changes of the keys from `first` on, `count` of them, key k to pitch(k).
template <typename Pitch>
void add_single_note_changes(Bytes& bytes, int first, int count, Pitch pitch) {
  Bytes body(std::begin(kSingleNoteHeader), std::end(kSingleNoteHeader));
  body.push_back(kTuningProgram);
  body.push_back(static_cast<uint8_t>(count));
  for (int key = first; key < first + count; ++key) {
    body.push_back(static_cast<uint8_t>(key));
    for (uint8_t byte : note_frequency(pitch(key))) body.push_back(byte);
  }
  body.push_back(smf::kEndOfExclusive);
  add_sysex(bytes, body);
}

}  // namespace

Bytes single_note_tuning(const KeyTable& table) {
  Bytes bytes;
  for (int first = 0; first < kKeys; first += kKeysPerMessage)
    add_single_note_changes(bytes, first, std::min(kKeysPerMessage, kKeys - first),
                            [&](int key) { return table.pitch(key); });
  return bytes;
}

Bytes single_note_change(int key, double cents) {
  Bytes bytes;
  add_single_note_changes(bytes, key, 1, [&](int) { return cents; });
  return bytes;
}

Bytes bulk_tuning_dump(const KeyTable& table) {
  const std::string& name = table.name;
  Bytes message;
  message.reserve(kBulkDumpBytes);
  message.push_back(smf::kSysEx);
  for (uint8_t byte : kBulkDumpHeader) message.push_back(byte);
  message.push_back(kTuningProgram);
  for (size_t i = 0; i < kTuningNameBytes; ++i) {
    const char c = i < name.size() ? name[i] : ' ';
    message.push_back(c >= 0x20 && c <= 0x7E ? static_cast<uint8_t>(c) : '?');
  }
  for (int key = 0; key < kKeys; ++key)
    for (uint8_t byte : note_frequency(table.pitch(key))) message.push_back(byte);
  uint8_t checksum = 0;
  for (auto byte = message.begin() + 1; byte != message.end(); ++byte) checksum ^= *byte;
  message.push_back(checksum & 0x7F);
  message.push_back(smf::kEndOfExclusive);
  return message;
}

Bytes sysex_event(std::span<const uint8_t> message) {
  Bytes bytes;
  add_sysex(bytes, message.subspan(1));
  return bytes;
}

namespace {

// Whether a system-exclusive payload has `header`, for any device (its second byte).
bool has_header(const uint8_t* payload, size_t size, const uint8_t (&header)[4]) {
  return size >= 4 && payload[0] == header[0] && payload[2] == header[2] && payload[3] == header[3];
}

}  // namespace

bool is_tuning_message(const uint8_t* payload, size_t size) {
  return has_header(payload, size, kScaleOctaveHeader) || has_header(payload, size, kSingleNoteHeader) ||
         has_header(payload, size, kBulkDumpHeader);
}

namespace {

double pitch_of(const uint8_t* data) {
  return 100.0 * data[0] + 100.0 * (data[1] << 7 | data[2]) / kFractionSteps;
}
bool is_no_change(const uint8_t* data) { return data[0] == 0x7F && data[1] == 0x7F && data[2] == 0x7F; }

}  // namespace

void take_tuning_message(const uint8_t* payload, size_t size, std::array<double, kKeys>& pitches) {
  auto is = [&](const uint8_t (&header)[4]) { return has_header(payload, size, header); };
  if (is(kSingleNoteHeader) && size >= 6) {
    for (size_t i = 0, at = 6; i < payload[5] && at + 4 <= size; ++i, at += 4)
      if (payload[at] < kKeys && !is_no_change(payload + at + 1)) pitches[payload[at]] = pitch_of(payload + at + 1);
  } else if (is(kBulkDumpHeader) && size >= 5 + kTuningNameBytes + 3 * kKeys) {
    const uint8_t* data = payload + 5 + kTuningNameBytes;
    for (int key = 0; key < kKeys; ++key)
      if (!is_no_change(data + 3 * key)) pitches[key] = pitch_of(data + 3 * key);
  } else if (is(kScaleOctaveHeader) && size >= 7 + 2 * kPitchClasses) {
    const uint8_t* data = payload + 7;  // after the channel mask
    for (int key = 0; key < kKeys; ++key) {
      const uint8_t* value = data + 2 * (key % kPitchClasses);
      pitches[key] = 100.0 * key + ((value[0] << 7 | value[1]) - kBendCentre) * 100.0 / kBendCentre;
    }
  }
}

Bytes tuning_program_selection(const Method& method) {
  Bytes bytes;
  for (int channel = 0; channel < kChannels; ++channel) {
    if (method.skips(channel)) continue;
    add_controller(bytes, channel, kRpnMsb, 0x00);
    add_controller(bytes, channel, kRpnLsb, kTuningBankParameter);
    add_controller(bytes, channel, kDataEntry, 0x00);
    add_controller(bytes, channel, kRpnLsb, kTuningProgramParameter);
    add_controller(bytes, channel, kDataEntry, kTuningProgram);
    add_controller(bytes, channel, kRpnMsb, kNullParameter);
    add_controller(bytes, channel, kRpnLsb, kNullParameter);
  }
  return bytes;
}

}  // namespace retune
