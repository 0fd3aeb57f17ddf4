// A MIDI channel's settings as a synthesizer keeps them, followed through the
// channel messages a file sends: program, every controller and whether the
// file set it, the registered and non-registered parameters and which one data
// entry goes to, channel pressure, pitch bend and bend range.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <map>

#include "smf/controllers.h"

namespace retune {

inline constexpr int kDefaultBendRange = 2;  // semitones either way
inline constexpr int kBendCentre = 8192;
inline constexpr int kBendMax = 16383;

// A parameter of data entry: registered or not, and its two numbers.
struct Parameter {
  bool nrpn = false;
  uint8_t msb = smf::gm::kNullParameter;
  uint8_t lsb = smf::gm::kNullParameter;

  // 127/127 selects no parameter, of either kind.
  bool is_null() const { return msb == smf::gm::kNullParameter && lsb == smf::gm::kNullParameter; }
  bool is_bend_range() const {
    return !nrpn && msb == smf::gm::kBendRangeParameter && lsb == smf::gm::kBendRangeParameter;
  }
  uint16_t id() const { return static_cast<uint16_t>(nrpn << 14 | msb << 7 | lsb); }
  auto operator<=>(const Parameter&) const = default;
};

// A parameter's value as data entry sets it: MSB and LSB, each known or not.
struct ParameterValue {
  uint8_t msb = 0;
  uint8_t lsb = 0;
  bool msb_set = false;
  bool lsb_set = false;
  bool operator==(const ParameterValue&) const = default;
};

// The parameter data entry goes to: the numbers of both kinds, and which kind
// was selected last.
struct Selection {
  bool nrpn = false;
  uint8_t rpn[2] = {smf::gm::kNullParameter, smf::gm::kNullParameter};  // MSB, LSB
  uint8_t nrpn_number[2] = {smf::gm::kNullParameter, smf::gm::kNullParameter};

  bool operator==(const Selection&) const = default;
  Parameter selected() const {
    const uint8_t* numbers = nrpn ? nrpn_number : rpn;
    return {nrpn, numbers[0], numbers[1]};
  }
  bool is_bend_range() const { return selected().is_bend_range(); }

  // Follows a controller that selects a parameter; false for any other.
  bool select(uint8_t controller, uint8_t value);
};

// The bend range as registered parameter 0 holds it: semitones, cents.
struct Range {
  uint8_t semitones = kDefaultBendRange;
  uint8_t cents = 0;

  bool operator==(const Range&) const = default;
  double in_semitones() const { return semitones + cents / 100.0; }
};

// What a channel message changed of a channel's settings.
enum class Change { kNone, kSetting, kBend, kBendRange, kResetControllers };

struct ChannelState {
  std::array<uint8_t, 128> controllers;
  std::bitset<128> set;  // controllers whose value the file has sent
  uint8_t program = 0;
  bool program_set = false;
  uint8_t pressure = 0;
  bool pressure_set = false;
  int bend = kBendCentre;
  Selection selection;
  Range range;
  std::map<Parameter, ParameterValue> parameters;  // those data entry has set, the bend range included

  ChannelState();

  // Follows a controller, program change, channel pressure or pitch bend
  // with data bytes below 128; note messages change no setting.
  Change apply(uint8_t kind, uint8_t data1, uint8_t data2);

  bool pedal_down() const { return controllers[smf::gm::kSustain] >= smf::gm::kPedalDown; }
  bool sostenuto_down() const { return controllers[smf::gm::kSostenuto] >= smf::gm::kPedalDown; }

  // The controllers that hold a value of their own: not data entry, the
  // parameter numbers or the channel mode messages.
  static constexpr bool is_setting(uint8_t controller) {
    return controller < smf::gm::kFirstModeMessage && !enters_data(controller) && controller != smf::gm::kNrpnLsb &&
           controller != smf::gm::kNrpnMsb && controller != smf::gm::kRpnLsb && controller != smf::gm::kRpnMsb;
  }
  // Data entry and its increments: they change the selected parameter.
  static constexpr bool enters_data(uint8_t controller) {
    return controller == smf::gm::kDataEntry || controller == smf::gm::kDataEntryLsb ||
           controller == smf::gm::kDataIncrement || controller == smf::gm::kDataDecrement;
  }
  // What a synthesizer holds where nothing was sent, by General MIDI and its
  // recommended practice for reset-all-controllers.
  static uint8_t default_value(uint8_t controller);
  static ParameterValue default_value(const Parameter& parameter);

 private:
  Change control(uint8_t controller, uint8_t value);
  Change enter(uint8_t controller, uint8_t value);
  void reset_controllers();
};

}  // namespace retune
