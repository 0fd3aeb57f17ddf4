// The events the methods insert, as track bytes, each at delta time 0.
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

// The frequency data of a single note tuning change for a pitch `cents`
// above key 0: the semitone, then the 14-bit fraction of the next, MSB
// first. Pitches beyond the keyboard are held to its ends.
std::array<uint8_t, 3> note_frequency(double cents);

// Whether a system-exclusive payload (after F0 and its length) is a tuning
// message of the kinds written here: scale/octave or single note tuning.
bool is_tuning_message(const uint8_t* payload, size_t size);

// Tuning bank 0 and tuning program 0 selected, registered parameters 4 and
// 3, on every channel that `method` does not skip.
Bytes tuning_program_selection(const Method& method);

}  // namespace retune
