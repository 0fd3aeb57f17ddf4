#include "channel/channel_state.h"

#include <algorithm>

#include "smf/smf_walk.h"

namespace retune {

using namespace smf::gm;

bool Selection::select(uint8_t controller, uint8_t value) {
  switch (controller) {
    case kRpnMsb:
    case kRpnLsb:
      nrpn = false;
      rpn[controller == kRpnLsb] = value;
      return true;
    case kNrpnMsb:
    case kNrpnLsb:
      nrpn = true;
      nrpn_number[controller == kNrpnLsb] = value;
      return true;
    default:
      return false;
  }
}

namespace {

// Every controller's default, worked out once: a reset makes sixteen states afresh.
const std::array<uint8_t, 128>& default_controllers() {
  static const std::array<uint8_t, 128> defaults = [] {
    std::array<uint8_t, 128> values;
    for (int c = 0; c < 128; ++c) values[c] = ChannelState::default_value(static_cast<uint8_t>(c));
    return values;
  }();
  return defaults;
}

}  // namespace

ChannelState::ChannelState() : controllers(default_controllers()) {}

uint8_t ChannelState::default_value(uint8_t controller) {
  switch (controller) {
    case kVolume:
      return 100;
    case kExpression:
      return 127;
    case kBalance:
    case kPan:
      return 64;
    case kReverbSend:
      return 40;
    default:
      // The sound controllers move a sound from its own settings: 64 moves nothing.
      return controller >= kFirstSoundController && controller <= kLastSoundController ? 64 : 0;
  }
}

ParameterValue ChannelState::default_value(const Parameter& parameter) {
  if (!parameter.nrpn) {
    switch (parameter.msb == 0 ? parameter.lsb : 0x7F) {
      case kBendRangeParameter:
        return {kDefaultBendRange, 0, true, true};
      case kModulationRangeParameter:
        return {0, 64, true, true};  // 50 cents
      default:
        break;
    }
  }
  // The tunings and most sound parameters are centred on 64: no change.
  return {64, 0, true, true};
}

Change ChannelState::apply(uint8_t kind, uint8_t data1, uint8_t data2) {
  switch (kind) {
    case smf::kController:
      return control(data1, data2);
    case smf::kProgram:
      program = data1;
      program_set = true;
      return Change::kSetting;
    case smf::kChannelPressure:
      pressure = data1;
      pressure_set = true;
      return Change::kSetting;
    case smf::kPitchBend:
      bend = data1 | data2 << 7;
      return Change::kBend;
    default:
      return Change::kNone;
  }
}

Change ChannelState::control(uint8_t controller, uint8_t value) {
  if (selection.select(controller, value)) return Change::kSetting;
  if (controller == kResetAllControllers) {
    reset_controllers();
    return Change::kResetControllers;
  }
  if (enters_data(controller)) return enter(controller, value);
  if (!is_setting(controller)) return Change::kNone;
  controllers[controller] = value;
  set[controller] = true;
  return Change::kSetting;
}

// Data entry sets the selected parameter, or steps it.
Change ChannelState::enter(uint8_t controller, uint8_t value) {
  const Parameter parameter = selection.selected();
  if (parameter.is_null()) return Change::kNone;
  auto [it, added] = parameters.try_emplace(parameter);
  ParameterValue& entry = it->second;
  if (added) entry = {default_value(parameter).msb, default_value(parameter).lsb, false, false};
  if (controller == kDataEntry) {
    entry.msb = value;
    entry.msb_set = true;
  } else if (controller == kDataEntryLsb) {
    entry.lsb = value;
    entry.lsb_set = true;
  } else {
    // A step of the 14-bit value, by the recommended practice: of the MSB for
    // coarse tuning and the tuning program and bank, else of the LSB.
    const int step = !parameter.nrpn && parameter.msb == 0 && parameter.lsb >= kCoarseTuningParameter &&
                             parameter.lsb <= 4 ? 128 : 1;
    const int value = (entry.msb << 7 | entry.lsb) + (controller == kDataIncrement ? step : -step);
    const int stepped = std::clamp(value, 0, 0x3FFF);
    entry.msb = static_cast<uint8_t>(stepped >> 7);
    entry.lsb = static_cast<uint8_t>(stepped & 0x7F);
    entry.msb_set = entry.lsb_set = true;
  }
  if (!parameter.is_bend_range()) return Change::kSetting;
  range = {entry.msb, entry.lsb};
  return Change::kBendRange;
}

// What reset-all-controllers puts back, by its recommended practice; the
// values it sets are known from then on.
void ChannelState::reset_controllers() {
  for (uint8_t c : {kModulation, kExpression, kSustain, kPortamento, kSostenuto, kSoftPedal}) {
    controllers[c] = default_value(c);
    set[c] = true;
  }
  selection = Selection{};
  pressure = 0;
  pressure_set = true;
  bend = kBendCentre;
}

}  // namespace retune
