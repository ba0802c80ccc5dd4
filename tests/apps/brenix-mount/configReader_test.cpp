// The version a configuration declares: the cases by hand, and the answer of
// the pattern the scan used before on every byte between and around the parts
// of a declaration.
#include "configReader.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <boost/regex.hpp>

namespace {

TEST(ConfigVersion, Declarations) {
  using namespace std::string_literals;
  const std::pair<std::string, int> cases[] = {
      {"config.version = \"8\"\n", 8},
      {"CoNfIg.VeRsIoN=\"7\"", 7},
      {"config_version\t=\r\n\v\f\"0012\"", 12},
      {"config\nversion = \"9\"", 9},
      {"config\0version = \"9\""s, 9},
      {"x = \"1\"\nconfig.version = \"3\"\nconfig.version = \"4\"\n", 3},
      {"configversion = \"5\"\nconfig.version = \"6\"", 6},
      {"config.version = \"\"\nconfig.version = \"2\"", 2},
      {"config.version = \"8", 0},
      {"config.version = 8", 0},
      {"config.version = \" 8\"", 0},
      {"config.version = \"8 \"", 0},
      {"config.version == \"8\"", 0},
      {"config.versio = \"8\"", 0},
      {"cconfig.version = \"5\"", 5},
      {"config.version = \"2147483647\"", INT_MAX},
      {"config.version = \"2147483648\"", INT_MAX},
      {"config.version = \"99999999999999999999999\"", INT_MAX},
      {"", 0},
      {"config.version", 0},
  };
  for (const auto &[text, version] : cases) {
    EXPECT_EQ(ConfigVersionOf(text), version) << text;
  }
}

// Whatever byte stands between, before or after the parts, the answer is the
// pattern's, with its number read as the scan read it.
TEST(ConfigVersion, AsThePattern) {
  static const boost::regex pattern(
      R"re([cC][oO][nN][fF][iI][gG].[vV][eE][rR][sS][iI][oO][nN]\s*=\s*"(\d+)")re");
  auto expected = [](const std::string &text) {
    boost::smatch match;
    if (!boost::regex_search(text, match, pattern)) return 0;
    long v = std::strtol(match[1].str().c_str(), nullptr, 10);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
  };
  const std::string parts[] = {"config", "version", "=", "\"", "42", "\""};
  for (int at = 0; at <= 6; at++) {
    for (int c = 0; c < 256; c++) {
      std::string text;
      for (int i = 0; i <= 6; i++) {
        if (i == at) text += static_cast<char>(c);
        if (i < 6) text += parts[i];
        if (i == 0 && at != 1) text += '.';
      }
      EXPECT_EQ(ConfigVersionOf(text), expected(text)) << "byte " << c << " at " << at;
    }
  }
}

}  // namespace
