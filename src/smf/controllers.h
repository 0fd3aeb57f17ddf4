// What the data bytes of channel messages mean by General MIDI: the
// channels, the controller numbers, the registered parameters.
#pragma once

#include <cstdint>

namespace retune::smf::gm {

inline constexpr int kChannels = 16;
inline constexpr int kDrumChannel = 9;  // channel 10

inline constexpr uint8_t kBankSelect = 0;
inline constexpr uint8_t kModulation = 1;
inline constexpr uint8_t kDataEntry = 6;
inline constexpr uint8_t kVolume = 7;
inline constexpr uint8_t kBalance = 8;
inline constexpr uint8_t kPan = 10;
inline constexpr uint8_t kExpression = 11;
inline constexpr uint8_t kBankSelectLsb = 32;
inline constexpr uint8_t kDataEntryLsb = 38;
inline constexpr uint8_t kSustain = 64;
inline constexpr uint8_t kPortamento = 65;
inline constexpr uint8_t kSostenuto = 66;
inline constexpr uint8_t kSoftPedal = 67;
inline constexpr uint8_t kFirstSoundController = 70;
inline constexpr uint8_t kLastSoundController = 79;
inline constexpr uint8_t kReverbSend = 91;
inline constexpr uint8_t kDataIncrement = 96;
inline constexpr uint8_t kDataDecrement = 97;
inline constexpr uint8_t kNrpnLsb = 98;
inline constexpr uint8_t kNrpnMsb = 99;
inline constexpr uint8_t kRpnLsb = 100;
inline constexpr uint8_t kRpnMsb = 101;
// 120 and up are the channel mode messages.
inline constexpr uint8_t kFirstModeMessage = 120;
inline constexpr uint8_t kAllSoundOff = 120;
inline constexpr uint8_t kResetAllControllers = 121;
inline constexpr uint8_t kAllNotesOff = 123;
inline constexpr uint8_t kLastModeMessage = 127;

inline constexpr uint8_t kPedalDown = 64;       // a pedal's value from here up holds it down
inline constexpr uint8_t kNullParameter = 0x7F;  // both halves: no parameter selected
inline constexpr uint8_t kBendRangeParameter = 0;
inline constexpr uint8_t kFineTuningParameter = 1;
inline constexpr uint8_t kCoarseTuningParameter = 2;
inline constexpr uint8_t kModulationRangeParameter = 5;
inline constexpr uint8_t kMpeConfigurationParameter = 6;

}  // namespace retune::smf::gm
