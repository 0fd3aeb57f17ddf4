// libFuzzer target: arbitrary bytes and arbitrary tunings and methods through
// both passes in memory. A run that succeeds must give exactly the retuned
// input; a run that fails must fail with a catalogued message and status.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue.h"
#include "midi_model.h"
#include "retune/retune.h"

namespace {

// The first bytes choose the method and the tuning; the rest is the file.
constexpr size_t kConfigBytes = 16;

retune::Method method_from(const uint8_t* config) {
  retune::Method method;
  switch (config[0] % 4) {
    case 1:
      method.declare_bend_range = true;
      method.bend_range = 1 + config[1] % 24;
      break;
    case 2:
      method.mts = true;
      method.bend_range = 1;
      break;
    case 3:
      method.mts_keys = true;
      break;
    default:
      break;
  }
  if (config[0] & 0x80) method.skipped_channels = static_cast<uint16_t>(config[2] << 8 | config[3]);
  return method;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kConfigBytes) return 0;
  const retune::Method method = method_from(data);
  retune::Tuning cent;
  for (int i = 0; i < retune::kPitchClasses; ++i)
    cent[i] = static_cast<int8_t>(data[4 + i]) / 128.0 * retune::max_offset(method);
  const std::string input(reinterpret_cast<const char*>(data + kConfigBytes), size - kConfigBytes);
  try {
    const std::string output = retune::retune_bytes(input, cent, method);
    const std::string problem = smf_test::check_retuned(input, output, cent, method);
    if (!problem.empty()) {
      std::fprintf(stderr, "wrong output: %s\n", problem.c_str());
      std::abort();
    }
  } catch (const retune::io::Failure& failure) {
    if (!smf_test::is_catalogued(failure.message(), failure.status())) {
      std::fprintf(stderr, "uncatalogued failure %d: %s", failure.status(), failure.message().c_str());
      std::abort();
    }
  }
  return 0;
}
