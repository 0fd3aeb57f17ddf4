// The events the methods insert, as track bytes, each at delta time 0; and
// the resets after which a synthesizer needs them again.
#pragma once

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

// Whether `message`, the bytes of a system-exclusive message after its F0,
// resets a synthesizer: GM or GM2 System On, GS reset, XG System On.
bool is_reset(std::span<const uint8_t> message);

}  // namespace retune
