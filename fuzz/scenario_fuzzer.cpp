// Raw bytes as a scenario file: read both from memory and from disk, then replayed. Only
// ScenarioError may escape the reader, both ways of reading must agree, and a replay must
// never fail.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "json_mutator.hpp"
#include "replay/replay.hpp"
#include "replay/scenario.hpp"

namespace {

namespace replay = app::replay;

namespace fs = std::filesystem;

// Longer scenarios cost run time without reaching new code.
constexpr std::size_t kMaxReplayedRequests = 20;

// What reading a scenario gave: the scenario, or the reason it was refused.
struct Reading {
  std::optional<replay::Scenario> scenario;
  std::string refusal;
  bool invalid_json = false;
};

Reading read_from_memory(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (fuzz::unreadable_json(text, stoploss::kMaxJsonDepth)) return {.invalid_json = true};
  const auto document = stoploss::Value::parse(text);
  try {
    return {.scenario = replay::parse_scenario(document)};
  } catch (const replay::ScenarioError& error) {
    return {.refusal = error.what()};
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure("parse_scenario", failure);
  }
}

Reading read_from_file(const fs::path& path) {
  try {
    return {.scenario = replay::read_scenario(path)};
  } catch (const replay::ScenarioError& error) {
    return {.refusal = error.what()};
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure("read_scenario", failure);
  }
}

bool same_raise(const std::optional<replay::Raise>& a, const std::optional<replay::Raise>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a ||
         (a->kind == b->kind && a->text == b->text && a->status == b->status && a->body == b->body);
}

bool same_answers(const std::vector<replay::Answer>& a, const std::vector<replay::Answer>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].value != b[i].value || a[i].remove != b[i].remove ||
        !same_raise(a[i].raise, b[i].raise)) {
      return false;
    }
  }
  return true;
}

bool same_request(const replay::ScenarioRequest& a, const replay::ScenarioRequest& b) {
  const auto& x = a.options;
  const auto& y = b.options;
  return a.PAIR == b.PAIR && a.Price == b.Price && x.CLID == y.CLID &&
         x.Verification == y.Verification && x.REPLACE == y.REPLACE && x.Text == y.Text &&
         x.CleanStops == y.CleanStops;
}

bool same_scenario(const replay::Scenario& a, const replay::Scenario& b) {
  if (a.PairLIST != b.PairLIST || a.DEBUG != b.DEBUG || a.install_dir != b.install_dir ||
      a.answers.size() != b.answers.size() || a.requests.size() != b.requests.size()) {
    return false;
  }
  for (const auto& [operation, list] : a.answers) {
    const auto other = b.answers.find(operation);
    if (other == b.answers.end() || !same_answers(list, other->second)) return false;
  }
  for (std::size_t i = 0; i < a.requests.size(); ++i) {
    if (!same_request(a.requests[i], b.requests[i])) return false;
  }
  return true;
}

void expect_same_reading(const Reading& memory, const Reading& file) {
  if (memory.invalid_json) {
    fuzz::expect(!file.scenario && file.refusal.find(": invalid JSON") != std::string::npos,
                 "read_scenario did not refuse a file that is not JSON", file.refusal);
  } else if (memory.scenario) {
    fuzz::expect(file.scenario.has_value(), "read_scenario refused a scenario parse_scenario took",
                 file.refusal);
    fuzz::expect(same_scenario(*memory.scenario, *file.scenario),
                 "read_scenario and parse_scenario read different scenarios");
  } else {
    fuzz::expect(!file.scenario && file.refusal == memory.refusal,
                 "read_scenario and parse_scenario refused differently",
                 memory.refusal + " | " + file.refusal);
  }
}

void expect_sound_transcript(const replay::Json& transcript, const replay::Scenario& scenario) {
  const auto& requests = transcript.at("requests");
  fuzz::expect(requests.size() == scenario.requests.size(),
               "the transcript lost or added requests");
  constexpr std::array<std::string_view, 6> kKinds = {"KeyError",  "TypeError",   "ValueError",
                                                      "HTTPError", "ImportError", "Error"};
  for (const auto& request : requests) {
    const auto& failure = request.at("failure");
    if (failure.is_null()) continue;
    const auto kind = failure.at("kind").get<std::string>();
    fuzz::expect(std::find(kKinds.begin(), kKinds.end(), kind) != kKinds.end(),
                 "a request failed with an unknown kind", kind);
  }
}

// Each process writes its own file, so parallel fuzzing jobs do not share one.
class ScratchFile {
 public:
  ScratchFile(const std::uint8_t* data, std::size_t size)
      : path_(fs::temp_directory_path() /
              ("stoploss-scenario-fuzzer-" + std::to_string(::getpid()) + ".json")) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ~ScratchFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned seed) {
  return fuzz::mutate_json(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Reading memory = read_from_memory(data, size);
  {
    const ScratchFile file(data, size);
    expect_same_reading(memory, read_from_file(file.path()));
  }
  if (!memory.scenario || memory.scenario->requests.size() > kMaxReplayedRequests) return 0;

  replay::Json transcript;
  try {
    transcript = replay::run(*memory.scenario);
    expect_sound_transcript(transcript, *memory.scenario);
    replay::format_transcript(transcript);
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure("the replay", failure);
  }
  return 0;
}
