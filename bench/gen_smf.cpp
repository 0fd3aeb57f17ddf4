// gen_smf BYTES [SEED]: writes a realistic Standard MIDI File of about BYTES
// bytes to standard output, the same for the same seed.
#include <cstdio>
#include <cstdlib>

#include "support/smf_gen.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s BYTES [SEED]\n", argv[0]);
    return 2;
  }
  smf_test::GenOptions options;
  options.target_bytes = std::strtoull(argv[1], nullptr, 10);
  options.seed = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const std::string file = smf_test::generate_smf(options);
  return std::fwrite(file.data(), 1, file.size(), stdout) == file.size() ? 0 : 1;
}
