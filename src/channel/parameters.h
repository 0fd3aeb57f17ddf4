// The parameters a channel's data entry changes, as a synthesizer follows
// them through the controllers a file sends: which one is selected, and the
// bend range (registered parameter 0) that data entry has set.
#pragma once

#include <cstdint>

#include "retune/retune.h"
#include "smf/controllers.h"

namespace retune {

// The parameter that data entry changes: registered or not, and its numbers.
struct Selection {
  bool nrpn = false;  // the one selected last is a non-registered parameter
  uint8_t rpn[2] = {smf::gm::kNullParameter, smf::gm::kNullParameter};  // MSB, LSB
  uint8_t nrpn_number[2] = {smf::gm::kNullParameter, smf::gm::kNullParameter};

  bool is_bend_range() const {
    return !nrpn && rpn[0] == smf::gm::kBendRangeParameter && rpn[1] == smf::gm::kBendRangeParameter;
  }

  // Follows a controller that selects a parameter; false for any other.
  bool select(uint8_t controller, uint8_t value) {
    using namespace smf::gm;
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
};

// The bend range as registered parameter 0 holds it: semitones, cents.
struct Range {
  uint8_t semitones = kDefaultBendRange;
  uint8_t cents = 0;

  bool operator==(const Range&) const = default;
  double in_semitones() const { return semitones + cents / 100.0; }

  // Follows data entry to the parameter `selection` holds; false when it
  // leaves the range alone.
  bool enter(const Selection& selection, uint8_t controller, uint8_t value) {
    if (!selection.is_bend_range()) return false;
    if (controller == smf::gm::kDataEntry) semitones = value;
    else if (controller == smf::gm::kDataEntryLsb) cents = value;
    else return false;
    return true;
  }
};

}  // namespace retune
