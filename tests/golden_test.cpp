// Outputs recorded from the first, plain byte-by-byte build of the program:
// every later version must write exactly these bytes.
#include <gtest/gtest.h>

#include "run_binary.h"

using namespace smf_test;

namespace {

const fs::path kGolden = fs::path(GOLDEN_DIR);

TEST(Golden, OutputsAreByteForByteTheRecordedOnes) {
  const struct {
    const char* input;
    const char* offsets;
    const char* output;
  } cases[] = {
      {"gen-1.mid", "0 -24 -6.8 10.3 -13.7 3.4 -20.5 -3.4 -27.4 -10.3 6.8 -17.1", "gen-1.meantone.mid"},
      {"gen-2.mid", "0 13.7 3.9 -5.9 7.8 -2 11.7 2 15.6 5.9 -3.9 9.8", "gen-2.pythagorean.mid"},
      {"gen-3.mid", "-200 -150.5 -100 -50 -0.01 0 0.01 50 100 150.5 199.99 200", "gen-3.extremes.mid"},
      {"../../examples/two-voices.mid", "0 -24 -6.8 10.3 -13.7 3.4 -20.5 -3.4 -27.4 -10.3 6.8 -17.1",
       "two-voices.meantone.mid"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    std::istringstream words(c.offsets);
    for (std::string w; words >> w;) args.push_back(w);
    TempDir dir;
    args.push_back((kGolden / c.input).string());
    args.push_back((dir / "out.mid").string());
    const Result r = run_program(RETUNE_BIN, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir / "out.mid") == read_file(kGolden / c.output)) << c.output;
    args.pop_back();  // through the pipes as well
    const Result piped = run_program(RETUNE_BIN, std::vector<std::string>(args.begin(), args.end() - 1),
                                     RunOptions().from((kGolden / c.input).string()));
    EXPECT_TRUE(piped.out == read_file(kGolden / c.output)) << c.output;
  }
}

}  // namespace
