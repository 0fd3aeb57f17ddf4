// A tuning written for other tools: a Scala scale and keyboard mapping, an
// AnaMark tuning file, or a MIDI Tuning Standard bulk dump.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "retune/pitch.h"
#include "tuning/tunings.h"

namespace retune {

enum class ExportFormat { kScl, kKbm, kTun, kSyx };

// The format called `name`: scl, kbm, tun or syx; nothing when none is.
std::optional<ExportFormat> export_format(std::string_view name);

// Whether a format's bytes are no text.
inline bool is_binary(ExportFormat format) { return format == ExportFormat::kSyx; }

struct Exported {
  std::string bytes;
  Reach clamped;  // keys whose pitch the format cannot hold, written at the nearest it can
};

// `tuning` in `format`. The scale and the mapping, read together, give every
// key the pitch the table gives it, an unmapped key none; the AnaMark file
// and the bulk dump give every key a pitch, an unmapped key its
// equal-tempered one.
Exported export_tuning(const ResolvedTuning& tuning, ExportFormat format);

}  // namespace retune
