// The replay tool's transcript format, on whole examples: every examples/NAME.json is replayed
// and its transcript compared with tests/expected/NAME.json. The module's behaviour is
// checked by the tables of request_steps_test. STOPLOSS_UPDATE_GOLDEN=1 rewrites the expected
// files after a deliberate change of the format.
#include "replay/replay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
const fs::path kData = STOPLOSS_TEST_DATA;
const fs::path kExamples = STOPLOSS_EXAMPLES;

std::vector<std::string> scenario_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kExamples)) {
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class GoldenTranscript : public testing::TestWithParam<std::string> {};

TEST_P(GoldenTranscript, MatchesExpected) {
  const auto transcript = replay::run(replay::read_scenario(kExamples / (GetParam() + ".json")));
  const fs::path expected_path = kData / "expected" / (GetParam() + ".json");
  if (std::getenv("STOPLOSS_UPDATE_GOLDEN")) {
    std::ofstream(expected_path) << replay::format_transcript(transcript);
  }
  std::ifstream expected_file(expected_path);
  ASSERT_TRUE(expected_file) << "no expected transcript " << expected_path;
  const auto expected = replay::Json::parse(expected_file);
  EXPECT_EQ(transcript, expected) << "transcript:\n" << replay::format_transcript(transcript);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenTranscript, testing::ValuesIn(scenario_names()),
                         [](const auto& info) { return info.param; });

}  // namespace
