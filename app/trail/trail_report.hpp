#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "trail_session.hpp"

namespace app::trail {

// The state of the pair at one moment of a run, for the trace and the chart.
struct Sample {
  double seconds = 0;  // since the run started
  std::optional<double> last_price{};
  std::optional<double> wanted{};
  std::vector<double> stops{};  // on the book, as the feed showed it
  long long position = 0;
  std::optional<double> entry{};
  bool closed = false;  // the position closed at this moment
};

// "HH:MM:SS.mmm" of the wall clock, UTC.
std::string clock_text();

// One line per request: time, last price, wanted stop, result, HTTP requests, stops on the book.
std::string request_line(const Request& request);
// The first look at the market over REST once the feed has been down for `feed_wait` seconds (or
// one that failed): what it found, and that the position is exposed while the feed is down.
std::string rest_look_line(const std::string& pair, const Market& market,
                           const std::string& failure, double feed_wait);
// The book read over REST: before a request that follows one whose outcome is unknown, after the
// position closed (nothing to say when nothing was cancelled), and at the end of the run.
std::optional<std::string> doubt_line(const Tidy& tidy);
std::optional<std::string> left_over_line(const Tidy& tidy);
// The trail's other stops cancelled once the position is protected.
std::optional<std::string> cleanup_line(const Tidy& tidy);
std::string ending_line(const Tidy& tidy, bool removed);
// position, last price, wanted stop and the book's stops, feed up or down, budget left.
std::string status_line(const std::string& pair, const TrailSession& session, const Budget& budget);
// Requests by result, HTTP requests spent, time to protection, time exposed, feed reconnects.
void print_summary(const Totals& totals, std::ostream& out);

// seconds,last_price,wanted_stop,stops,position,entry,closed
void write_trace_csv(const std::vector<Sample>& samples, std::ostream& out);
// The price, the wanted stop, the stops on the book and the entry price over the seconds of the
// run, closes marked (SVG).
void write_chart_svg(const std::vector<Sample>& samples, const std::string& title,
                     std::ostream& out);

}  // namespace app::trail
