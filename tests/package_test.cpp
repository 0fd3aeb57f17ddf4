// The version stands in CMake alone; what is built and shipped must say the same.
#include <gtest/gtest.h>

#include "run_binary.h"

using namespace smf_test;

TEST(Package, EveryPlaceGivesTheOneVersion) {
  const std::string version = RETUNE_VERSION_TEXT;
  EXPECT_EQ(run_program(RETUNE_BIN, {"--version"}).out, "retune " + version + "\n");

  const std::string man = read_file(MAN_PAGE);
  const std::string title = man.substr(0, man.find('\n'));
  EXPECT_NE(title.find(" \"retune " + version + "\" "), std::string::npos) << title;

  // Each released version has its section in NEWS.
  EXPECT_NE(read_file(NEWS_FILE).find("\n" + version + " ("), std::string::npos) << "no NEWS for " << version;
}
