// The replay tool's transcript format, on one whole example: examples/xbtusd_new_stop.json
// replayed gives tests/expected/xbtusd_new_stop.json. The module's behaviour is checked by the
// tables of request_steps_test. STOPLOSS_UPDATE_GOLDEN=1 rewrites the expected file after a
// deliberate change of the format.
#include "replay/replay.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
namespace replay = app::replay;

TEST(Replay, TranscriptOfTheExampleIsAsExpected) {
  const auto transcript =
      replay::run(replay::read_scenario(fs::path(STOPLOSS_EXAMPLES) / "xbtusd_new_stop.json"));
  const fs::path expected_path = fs::path(STOPLOSS_TEST_DATA) / "expected" / "xbtusd_new_stop.json";
  if (std::getenv("STOPLOSS_UPDATE_GOLDEN")) {
    std::ofstream(expected_path) << replay::format_transcript(transcript);
  }
  std::ifstream expected_file(expected_path);
  ASSERT_TRUE(expected_file) << "no expected transcript " << expected_path;
  EXPECT_EQ(transcript, replay::Json::parse(expected_file))
      << "transcript:\n"
      << replay::format_transcript(transcript);
}

}  // namespace
