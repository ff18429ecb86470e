// The demo's reporting: summary, step lines, trace and chart.
#include "common/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "row_name.hpp"

namespace app {
namespace {

constexpr double kStop = 9000.5;

DemoStep request(const std::vector<double>& stops, const double module_us = 0) {
  DemoStep step;
  step.step = 7;
  step.price = 9100;
  step.wanted = 9000.4;
  step.rounded = kStop;
  step.result = true;
  step.exchange_calls = 3;
  step.stops = stops;
  step.module_seconds = module_us / 1e6;
  return step;
}

// Four requests, one of each outcome, and a step after which the position was flat.
std::vector<DemoStep> mixed_run() {
  std::vector<DemoStep> steps(5, request({kStop}));
  steps[1].result = false;
  steps[2].result.reset();
  steps[2].stops.clear();
  steps[3].failure = "Timed out waiting";  // counts as failed although its result says true
  for (int i = 0; i < 4; ++i) {
    steps[i].exchange_calls = 2 + i * 2;
    steps[i].faults = i % 2 + 1;
    steps[i].module_seconds = (i + 1) % 4 * 1e-5 + 1e-5;  // 20, 30, 40, 10 us: nearest rank
  }
  // Its move closed the position: no request, so no outcome, book to judge or further stop.
  steps[4].requested = false;
  steps[4].exchange_calls = 0;
  steps[4].closed_at = 8999;
  steps[4].stops = {8900};
  return steps;
}

TEST(report, SummaryCountsOutcomesCallsAndFaults) {
  const Summary s = summarize(mixed_run());
  // requests; true, false, nothing, failed; flat steps, positions closed; not holding (of them no
  // stop, after a fault); with other stops; the most exchange calls of a step, the faults met
  EXPECT_EQ((std::vector{s.requests, s.returned_true, s.returned_false, s.returned_nothing,
                         s.failed, s.flat_steps, s.positions_closed, s.not_holding, s.no_stop,
                         s.not_holding_after_fault, s.with_other_stops, s.calls_max, s.faults}),
            (std::vector{4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 8, 6}));
  EXPECT_EQ(s.failure_causes, (std::map<std::string, int>{{"timed out", 1}}));
  EXPECT_DOUBLE_EQ(s.calls_mean, 5);
  EXPECT_DOUBLE_EQ(s.module_us_median, 20);
  EXPECT_DOUBLE_EQ(s.module_us_p99, 40);
}

struct BookCase {
  const char* what;
  std::vector<double> stops;
  int no_stop, several, other;
};
const BookCase kBooks[] = {{"one stop at the price", {kStop}, 0, 0, 0},
                           {"no stop", {}, 1, 0, 0},
                           {"a farther stop besides", {8990, kStop}, 0, 0, 0},
                           {"two at the price", {kStop, 8990, kStop}, 0, 1, 0},
                           {"one just above the price", {std::nextafter(kStop, 1e9)}, 0, 0, 1}};

class BookNotHolding : public testing::TestWithParam<BookCase> {};

TEST_P(BookNotHolding, IsTalliedByReasonAndMarked) {
  const BookCase& c = GetParam();
  const DemoStep step = request(c.stops);
  const bool held = c.no_stop + c.several + c.other == 0;
  const Summary s = summarize({step});
  const std::string line = step_line(step);
  SCOPED_TRACE(line);
  EXPECT_EQ(step.holds(), held);
  EXPECT_EQ((std::vector{s.not_holding, s.no_stop, s.several_stops, s.other_price}),
            (std::vector{held ? 0 : 1, c.no_stop, c.several, c.other}));
  EXPECT_EQ(line.find("<<") == std::string::npos, held);
  EXPECT_EQ(s.with_other_stops, std::count_if(c.stops.begin(), c.stops.end(),
                                              [](double stop) { return stop != kStop; }) > 0);
}
INSTANTIATE_TEST_SUITE_P(report, BookNotHolding, testing::ValuesIn(kBooks),
                         row_names(kBooks, &BookCase::what));

using Quoted = std::pair<std::string, std::string>;  // a failure's text, and its trace field
const Quoted kQuoted[] = {{"", ""},
                          {"timeout", "timeout"},
                          {"said \"no\", twice", "\"said \"\"no\"\", twice\""},
                          {"two\nlines", "\"two\nlines\""}};

class TraceQuotes : public testing::TestWithParam<Quoted> {};

TEST_P(TraceQuotes, FailureTextOnlyWhereNeeded) {
  const auto& [failure, field] = GetParam();
  DemoStep step = request({kStop, 9001}, 12.5);
  step.failure = failure;
  std::ostringstream csv;
  write_trace_csv({step}, csv);
  EXPECT_EQ(csv.str(),
            "step,price,wanted,rounded,result,failure,exchange_calls,faults,stops,module_us,holds\n"
            "7,9100,9000.4,9000.5," +
                std::string(failure.empty() ? "true" : "failed") + "," + field +
                ",3,0,9000.5;9001,12.500,true\n");
}
INSTANTIATE_TEST_SUITE_P(report, TraceQuotes, testing::ValuesIn(kQuoted),
                         row_names(kQuoted, &Quoted::first));

// The legend's counts are the summary's, under the summary's words.
TEST(report, ChartLegendCountsWhatTheSummaryCounts) {
  std::vector<DemoStep> steps = mixed_run();
  steps[0].stops.push_back(8990);  // a farther candidate
  std::ostringstream out;
  write_chart_svg(steps, "run", out);
  for (const char* entry :
       {">positions closed by a stop (1)<", ">returned false (1), failed (1)<",
        ">not one stop at wanted price (1)<", ">further stops beyond it (1): "}) {
    EXPECT_NE(out.str().find(entry), std::string::npos) << entry;
  }
}

TEST(report, ChartIsWholeForDegenerateRuns) {
  DemoStep flat = request({9100});
  flat.rounded = 9100;
  DemoStep unpriced = request({kStop});
  unpriced.price = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::vector<DemoStep>> runs = {{},
                                                   {request({kStop})},
                                                   {flat, flat, flat},
                                                   {request({}), request({})},
                                                   {unpriced, request({})}};
  for (const auto& run : runs) {
    std::ostringstream out;
    write_chart_svg(run, "Run \"A\" & <B>", out);
    std::string svg = out.str();
    SCOPED_TRACE(svg);
    EXPECT_TRUE(svg.starts_with("<svg ") && svg.ends_with("</svg>\n"));
    EXPECT_NE(svg.find("Run &quot;A&quot; &amp; &lt;B&gt;"), std::string::npos);
    EXPECT_EQ(svg.find("<B>"), std::string::npos);
    std::transform(svg.begin(), svg.end(), svg.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
  }
}

}  // namespace
}  // namespace app
