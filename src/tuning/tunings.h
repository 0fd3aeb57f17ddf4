// Tunings: the built-in ones, each worked out from its definition (the sizes
// of its twelve fifths, or the ratios of its degrees), and the user's choice
// resolved into the tuning of the 128 keys.
//
//   tuning_table.h  a tuning as the methods see it: twelve offsets, or 128 keys
//   scala.h         Scala scales and keyboard mappings, and the keys they tune
//   tunings.h       the built-in tunings and the user's choice (this header)
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tuning/scala.h"
#include "tuning/tuning_table.h"

namespace retune {

// Cents of the twelve degrees above the root, degree 0 being 0.
using Degrees = std::array<double, kPitchClasses>;

struct NamedTuning {
  const char* name;
  const char* description;
  Degrees (*degrees)();
};

// The built-in tunings of twelve degrees. Besides them, edo:N is N equal
// divisions of the octave, N from kMinEdo to kMaxEdo.
std::span<const NamedTuning> builtin_tunings();
inline constexpr int kMinEdo = 5;
inline constexpr int kMaxEdo = 72;

// The tuning of twelve degrees called `name` or one of its aliases, in any
// case; null when there is none.
const NamedTuning* find_tuning(std::string_view name);

// The keys' tuning the built-in `name` gives with its degree 0 on pitch class
// `root`, unbent: twelve degrees repeat on every octave; edo:N runs linearly
// from key 60 + root. An unknown name is a Failure that suggests the nearest.
KeyTable builtin_table(std::string_view name, int root);

// The scale of the built-in `name`, which builtin_table has taken: its
// twelve degrees, or N equal steps, with the name and description.
Scale builtin_scale(std::string_view name);

// Offsets from equal temperament for `degrees` with its degree 0 on the
// pitch class `root`, which is left unbent.
Tuning offsets_on_root(const Degrees& degrees, int root);

// A pitch class: C, C#, Db, ... B (any case), or 0-11; -1 when it is none.
int parse_pitch_class(std::string_view text);

// What the user chose: twelve offsets, a built-in tuning, or a Scala scale
// with an optional keyboard mapping; the pitch class of the first degree;
// and the pitch of A4.
struct TuningChoice {
  std::vector<const char*> offsets;  // the twelve positional offsets, as given
  std::string name;                  // --tuning
  std::string scl_path;              // --scl
  std::string kbm_path;              // --kbm
  std::optional<int> root;           // --root
  std::optional<double> a4;          // --a4, in hertz
  std::string a4_text;               // --a4 as given

  bool by_name() const { return !name.empty() || !scl_path.empty(); }
};

// A resolved tuning, with what a refusal should blame: the tuning itself, or
// the reference pitch (a keyboard mapping's frequency, --a4) that moved every
// key by `reference_shift` cents. Its scale on its mapping gives the table:
// the scale's own notes, on the keyboard mapping given or else a linear one;
// a mapping without frequency text has its reference key where the table
// has it.
struct ResolvedTuning {
  KeyTable table;
  Scale scale;
  KeyboardMapping mapping;
  std::string source;     // "Tuning meantone", "Scala file x.scl", ...
  std::string shape;      // of a scale: "19 notes, period 1200 cents"
  std::string reference;  // "Option --a4 415", ...; empty when nothing moved the keys
  double reference_shift = 0;
};

// The tuning `choice` gives. The twelve positional offsets are each checked
// against +-`limit` cents as they are given; nothing else is checked here,
// since what a method can play depends on the method: see check_range.
ResolvedTuning resolve_tuning(const TuningChoice& choice, double limit);

// Refuses (status 4) a tuning with a mapped key beyond +-`limit` cents,
// naming the pitch class (for a tuning that repeats by pitch class) or the
// key, and blaming the reference pitch when the tuning fits without it.
void check_range(const ResolvedTuning& tuning, double limit);

// Reads one offset in cents: white space, sign, decimal digits with an
// optional point, optional exponent; what follows is ignored. Nothing when no
// number is there; an infinity when it is too large for a double.
std::optional<double> parse_cents(std::string_view text);

// Offsets as positional arguments that read back exactly.
std::string format_offsets(const Tuning& cent);

// What --print-offsets shows: the twelve offsets of a tuning that repeats by
// pitch class, on one line; otherwise a line "key offset" for each key, "x"
// for an unmapped one.
std::string format_tuning(const KeyTable& table);

// The built-in tunings, described, with their offsets from C.
std::string list_tunings();

}  // namespace retune
