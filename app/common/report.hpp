#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/demo_step.hpp"

namespace app {

// What a run of stop requests came to.
struct Summary {
  int requests = 0;  // steps that asked for a stop

  // Each request counts under exactly one outcome; a request that threw is `failed`
  // whatever its result holds.
  int returned_true = 0;
  int returned_false = 0;
  int returned_nothing = 0;
  int failed = 0;
  std::map<std::string, int> failure_causes;  // overloaded, timed out, retries exhausted, other
  // Steps whose move left the position flat: nothing to protect, no request.
  int flat_steps = 0;

  // Requests after which the book did not hold exactly one stop at the wanted price: it held
  // no stop at all, only stops at other prices, or several at the wanted price.
  int not_holding = 0;
  int no_stop = 0;
  int other_price = 0;
  int several_stops = 0;
  int not_holding_after_fault = 0;  // of those, the ones whose request met an injected fault
  // Requests after which stops other than the wanted one stood too (candidates the module
  // keeps to move later).
  int with_other_stops = 0;

  // The position the stops protected: stops triggered, positions they closed (the last one's
  // price) and the profit those closes realised, in XBt.
  int stops_triggered = 0;
  int positions_closed = 0;
  double last_close_price = 0;
  double realised = 0;

  double calls_mean = 0;
  int calls_max = 0;
  int faults = 0;

  // Nearest rank on the sorted times, in microseconds.
  double module_us_median = 0;
  double module_us_p99 = 0;
};

Summary summarize(const std::vector<DemoStep>& steps);

// Nearest rank on `sorted`: the smallest value that at least `percent` of them do not exceed; 0
// for none.
double percentile(const std::vector<double>& sorted, std::size_t percent);
// Enough digits for any tick, without the noise that rounding to a tick leaves behind.
std::string price_text(double price);

void print_summary(const Summary& summary, std::ostream& out);

// Fixed-width columns, so that the header and every line align.
std::string step_header();
std::string step_line(const DemoStep& step);

// step,price,wanted,rounded,result,failure,exchange_calls,faults,stops,module_us,holds
void write_trace_csv(const std::vector<DemoStep>& steps, std::ostream& out);

// The chart's horizontal axis: what it measures, where each step sits along it, and the
// finest spacing of its ticks.
struct Timeline {
  std::string label = "step";
  std::function<double(const DemoStep&)> at = [](const DemoStep& step) { return step.step; };
  double finest_tick = 1;
};

// The price, the wanted stop, the stops on the book and the position's entry price over the
// steps, with the closes of the position marked, as a standalone SVG.
void write_chart_svg(const std::vector<DemoStep>& steps, const std::string& title,
                     std::ostream& out, const Timeline& timeline = {});

}  // namespace app
