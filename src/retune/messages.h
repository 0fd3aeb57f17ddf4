// The events the methods insert, as track bytes, each at delta time 0; and
// the bulk tuning dump, a whole message that a file can also hold alone.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "retune/retune.h"

namespace retune {

using Bytes = std::vector<uint8_t>;

// The bend range, registered parameter 0, set to `method.bend_range`
// semitones on every channel that `method` does not skip.
Bytes bend_range_setting(const Method& method);

// One MIDI Tuning Standard scale/octave tuning message (2-byte form, real
// time, all devices) of the twelve offsets, for every channel not skipped.
Bytes scale_octave_tuning(const Tuning& cent, const Method& method);

// MIDI Tuning Standard single note tuning changes (real time, all devices,
// tuning program 0) of all 128 keys: each mapped key at its offset, each
// unmapped key at its own equal-tempered pitch.
Bytes single_note_tuning(const KeyTable& table);
// The same for one key, to a pitch `cents` above key 0.
Bytes single_note_change(int key, double cents);

// A MIDI Tuning Standard bulk tuning dump (non-real time, all devices,
// tuning program 0) of all 128 keys, from F0 to F7: the table's name in 16
// bytes of printable ASCII (others as ?, cut or padded with spaces), each
// key's frequency data as a single note tuning has it, and the checksum.
inline constexpr size_t kBulkDumpBytes = 408;
Bytes bulk_tuning_dump(const KeyTable& table);

// A system-exclusive event at delta time 0 carrying `message`, F0 to F7.
Bytes sysex_event(std::span<const uint8_t> message);

// The frequency data of a single note tuning change for a pitch `cents`
// above key 0: the semitone, then the 14-bit fraction of the next, MSB
// first. Pitches beyond the keyboard are held to its ends.
std::array<uint8_t, 3> note_frequency(double cents);

// Whether a system-exclusive payload (after F0 and its length) is a tuning
// message of the kinds written here, for any device: scale/octave tuning,
// single note tuning or a bulk dump.
bool is_tuning_message(const uint8_t* payload, size_t size);
// What such a message does to the pitches of the keys, in cents above key 0
// (the scale/octave tuning in its 2-byte form, on whatever channels it names).
void take_tuning_message(const uint8_t* payload, size_t size, std::array<double, kKeys>& pitches);

// Tuning bank 0 and tuning program 0 selected, registered parameters 4 and
// 3, on every channel that `method` does not skip.
Bytes tuning_program_selection(const Method& method);

}  // namespace retune
