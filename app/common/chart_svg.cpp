#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "common/report.hpp"
#include "common/step_outcome.hpp"

namespace app {
namespace {

constexpr double kWidth = 1000;
constexpr double kHeight = 540;
constexpr double kLeft = 84;
constexpr double kRight = 24;
constexpr double kTop = 100;
constexpr double kBottom = 56;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();  // nothing to draw

constexpr std::string_view kPriceColour = "#1f5fa8";
constexpr std::string_view kWantedColour = "#e08a00";
constexpr std::string_view kStopColour = "#2a9d3a";
constexpr std::string_view kCandidateColour = "#a6d9ad";
constexpr std::string_view kWrongColour = "#d62728";
constexpr std::string_view kPositionColour = "#7b3fa0";

// Maps data values onto pixels; `lo` < `hi` always, so there is no division by zero.
struct Axis {
  double lo;
  double hi;
  double from;
  double to;
  double at(const double value) const { return from + (value - lo) / (hi - lo) * (to - from); }
};

// The horizontal axis: where a step sits along the timeline, in pixels.
struct StepAxis : Axis {
  const Timeline& timeline;
  using Axis::at;
  double at(const DemoStep& step) const { return at(timeline.at(step)); }
};

struct Span {
  double lo = 0;
  double hi = 0;
  bool empty = true;
  void take(const double value) {
    if (!std::isfinite(value)) return;
    lo = empty ? value : std::min(lo, value);
    hi = empty ? value : std::max(hi, value);
    empty = false;
  }
};

// `margin` of the width on either side; a flat span, which has no width to draw across,
// gets `flat_pad` instead.
Span widened(const Span& span, const double margin, const double flat_pad) {
  if (span.empty) return {0, 1, false};
  const double pad = span.hi == span.lo ? flat_pad : (span.hi - span.lo) * margin;
  return {span.lo - pad, span.hi + pad, false};
}

// A 1, 2 or 5 times a power of ten, giving about `count` ticks across `width`.
double tick_step(const double width, const int count) {
  const double raw = width / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double normal = raw / magnitude;
  return magnitude * (normal < 1.5 ? 1 : normal < 3 ? 2 : normal < 7 ? 5 : 10);
}

struct Tick {
  double value;
  std::string label;
};

std::vector<Tick> ticks(const Axis& axis, const double step) {
  const double first = std::ceil(axis.lo / step);
  const double last = std::floor(axis.hi / step);
  // A span too narrow for its magnitude gets no ticks rather than thousands.
  if (!(std::abs(first) < 1e15 && std::abs(last) < 1e15 && last - first <= 20)) return {};
  const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step))));
  std::vector<Tick> result;
  for (auto k = static_cast<long long>(first); k <= static_cast<long long>(last); ++k) {
    result.push_back({k * step, fmt::format("{:.{}f}", k * step, decimals)});
  }
  return result;
}

std::string xml_escaped(const std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string fill(const std::string_view colour) { return fmt::format(R"(fill="{}")", colour); }

// A red ring around the wanted price: the book did not hold one stop there.
std::string ring_style() {
  return fmt::format(R"(fill="none" stroke="{}" stroke-width="1.5")", kWrongColour);
}

std::string point(const double x, const double y) { return fmt::format("{:.1f},{:.1f}", x, y); }

std::string cross(const double x, const double y) {
  constexpr double kArm = 4;
  return fmt::format("M{}L{}M{}L{}", point(x - kArm, y - kArm), point(x + kArm, y + kArm),
                     point(x - kArm, y + kArm), point(x + kArm, y - kArm));
}

// A line through each step's value, broken where a value cannot be drawn. A stepped line holds
// each value until the next step and the last one to the right edge.
template <class Value>
std::string line_path(const std::vector<DemoStep>& steps, const StepAxis& x, const Axis& y,
                      const Value value, const bool stepped) {
  std::string path;
  bool drawing = false;
  for (const DemoStep& step : steps) {
    const double v = value(step);
    if (!std::isfinite(v)) {
      drawing = false;
      continue;
    }
    if (!drawing) {
      path += fmt::format("M{}", point(x.at(step), y.at(v)));
    } else if (stepped) {
      path += fmt::format("H{:.1f}V{:.1f}", x.at(step), y.at(v));
    } else {
      path += fmt::format("L{}", point(x.at(step), y.at(v)));
    }
    drawing = true;
  }
  if (stepped && drawing) path += fmt::format("H{:.1f}", x.to);
  return path;
}

// Where a step's request is marked: at the wanted price, or at the price without one.
double mark_height(const DemoStep& step) {
  return std::isfinite(step.rounded) ? step.rounded : step.price;
}

// Crosses where a request returned false or failed.
std::string refused_path(const std::vector<DemoStep>& steps, const StepAxis& x, const Axis& y) {
  std::string path;
  for (const DemoStep& step : steps) {
    if (refused(step) && std::isfinite(mark_height(step))) {
      path += cross(x.at(step), y.at(mark_height(step)));
    }
  }
  return path;
}

// A circle at each of a step's values, drawn in `style` (SVG attributes).
template <class Values>
void write_dots(const std::vector<DemoStep>& steps, const StepAxis& x, const Axis& y,
                const Values values, const double radius, const std::string_view style,
                std::ostream& out) {
  out << fmt::format(R"(<g {}>)", style);
  for (const DemoStep& step : steps) {
    for (const double v : values(step)) {
      if (std::isfinite(v)) {
        out << fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="{}"/>)", x.at(step), y.at(v),
                           radius);
      }
    }
  }
  out << "</g>\n";
}

void write_axes(const StepAxis& x, const Axis& y, std::ostream& out) {
  out << R"(<g font-size="11" fill="#444" stroke-width="1">)" << '\n';
  for (const Tick& tick : ticks(y, tick_step(y.hi - y.lo, 6))) {
    const double at = y.at(tick.value);
    out << fmt::format(
               R"(<line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" stroke="#e3e3e3"/>)",
               x.from, at, x.to, at)
        << fmt::format(R"(<text x="{:.1f}" y="{:.1f}" text-anchor="end">{}</text>)", x.from - 6,
                       at + 4, tick.label)
        << '\n';
  }
  for (const Tick& tick : ticks(x, std::max(x.timeline.finest_tick, tick_step(x.hi - x.lo, 8)))) {
    const double at = x.at(tick.value);
    out << fmt::format(R"(<line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" stroke="#888"/>)",
                       at, y.from, at, y.from + 5)
        << fmt::format(R"(<text x="{:.1f}" y="{:.1f}" text-anchor="middle">{}</text>)", at,
                       y.from + 18, tick.label)
        << '\n';
  }
  out << fmt::format(R"(<rect x="{:.1f}" y="{:.1f}" width="{:.1f}" height="{:.1f}" fill="none" )"
                     R"(stroke="#888"/>)",
                     x.from, y.to, x.to - x.from, y.from - y.to)
      << '\n'
      << fmt::format(R"(<text x="{:.1f}" y="{:.1f}" text-anchor="middle" font-size="12">{}</text>)",
                     (x.from + x.to) / 2, kHeight - 14, xml_escaped(x.timeline.label))
      << '\n'
      << fmt::format(R"~(<text transform="translate(20 {:.1f}) rotate(-90)" text-anchor="middle" )~"
                     R"(font-size="12">price</text>)",
                     (y.from + y.to) / 2)
      << "\n</g>\n";
}

// A diamond where a stop closed the position.
std::string diamond(const double x, const double y) {
  constexpr double kArm = 5;
  return fmt::format("M{}L{}L{}L{}Z", point(x, y - kArm), point(x + kArm, y), point(x, y + kArm),
                     point(x - kArm, y));
}

std::string closes_path(const std::vector<DemoStep>& steps, const StepAxis& x, const Axis& y) {
  std::string path;
  for (const DemoStep& step : steps) {
    if (step.closed_at && std::isfinite(*step.closed_at)) {
      path += diamond(x.at(step), y.at(*step.closed_at));
    }
  }
  return path;
}

// The legend in the summary's words, with its counts, one row of entries at a time.
void write_legend(const Summary& summary, std::ostream& out) {
  double y = kTop - 52;
  double x = kLeft;
  const auto label = [&](const std::string& text) {
    out << fmt::format(R"(<text x="{:.1f}" y="{:.1f}">{}</text>)", x + 26, y + 4, text) << '\n';
    x += 26 + 6.5 * static_cast<double>(text.size()) + 28;
  };
  const auto next_row = [&] {
    x = kLeft;
    y += 18;
  };
  out << fmt::format(R"(<path d="M{}h20" stroke="{}" stroke-width="2" fill="none"/>)", point(x, y),
                     kPriceColour);
  label("price");
  out << fmt::format(R"(<path d="M{}h10v-8h10" stroke="{}" stroke-width="3" fill="none"/>)",
                     point(x, y + 4), kWantedColour);
  label("wanted stop");
  out << fmt::format(R"(<path d="M{}h20" stroke="{}" stroke-width="2" stroke-dasharray="5 3" )"
                     R"(fill="none"/>)",
                     point(x, y), kPositionColour);
  label("entry");
  out << fmt::format(R"(<path d="{}" fill="{}"/>)", diamond(x + 10, y), kPositionColour);
  label(fmt::format("positions closed by a stop ({})", summary.positions_closed));
  next_row();
  out << fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="3" fill="{}"/>)", x + 10, y,
                     kStopColour);
  label("stop at the wanted price");
  out << fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="3" fill="{}"/>)", x + 10, y,
                     kCandidateColour);
  label(
      fmt::format("further stops beyond it ({}): farther stops the module keeps as candidates "
                  "to move later",
                  summary.with_other_stops));
  next_row();
  out << fmt::format(R"(<path d="{}" stroke="{}" stroke-width="2"/>)", cross(x + 10, y),
                     kWrongColour);
  label(fmt::format("returned false ({}), failed ({})", summary.returned_false, summary.failed));
  out << fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="6" {}/>)", x + 10, y, ring_style());
  label(fmt::format("not one stop at wanted price ({})", summary.not_holding));
}

}  // namespace

void write_chart_svg(const std::vector<DemoStep>& steps, const std::string& title,
                     std::ostream& out, const Timeline& timeline) {
  Span steps_span;
  Span prices_span;
  for (const DemoStep& step : steps) {
    steps_span.take(timeline.at(step));
    prices_span.take(step.price);
    if (step.requested) prices_span.take(step.rounded);
    for (const double stop : step.stops) prices_span.take(stop);
    if (step.entry) prices_span.take(*step.entry);
    if (step.closed_at) prices_span.take(*step.closed_at);
  }
  const Span xs = widened(steps_span, 0, 1);
  const double flat_price_pad = prices_span.lo != 0 ? std::abs(prices_span.lo) * 0.01 : 1;
  const Span ys = widened(prices_span, 0.05, flat_price_pad);
  const StepAxis x{{xs.lo, xs.hi, kLeft, kWidth - kRight}, timeline};
  const Axis y{ys.lo, ys.hi, kHeight - kBottom, kTop};

  out << fmt::format(R"(<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" )"
                     R"(viewBox="0 0 {0} {1}" font-family="sans-serif" font-size="12">)",
                     kWidth, kHeight)
      << '\n'
      << R"(<rect width="100%" height="100%" fill="white"/>)" << '\n'
      << fmt::format(R"(<text x="{}" y="26" font-size="16" font-weight="bold">{}</text>)", kLeft,
                     xml_escaped(title))
      << '\n';
  write_legend(summarize(steps), out);
  write_axes(x, y, out);
  if (steps.empty()) {
    out << fmt::format(R"(<text x="{:.1f}" y="{:.1f}" text-anchor="middle" fill="#888">)"
                       R"(no requests</text>)",
                       (x.from + x.to) / 2, (y.from + y.to) / 2)
        << '\n';
  }
  const auto price = [](const DemoStep& step) { return step.price; };
  const auto wanted = [](const DemoStep& step) { return step.requested ? step.rounded : kNone; };
  out << fmt::format(R"(<path d="{}" stroke="{}" stroke-width="1.5" fill="none"/>)",
                     line_path(steps, x, y, price, false), kPriceColour)
      << '\n'
      << fmt::format(R"(<path d="{}" stroke="{}" stroke-width="3.5" fill="none"/>)",
                     line_path(steps, x, y, wanted, true), kWantedColour)
      << '\n';
  const auto entry = [](const DemoStep& step) { return step.entry.value_or(kNone); };
  out << fmt::format(R"(<path d="{}" stroke="{}" stroke-width="2" stroke-dasharray="5 3" )"
                     R"(fill="none"/>)",
                     line_path(steps, x, y, entry, true), kPositionColour)
      << '\n'
      << fmt::format(R"(<path d="{}" fill="{}"/>)", closes_path(steps, x, y), kPositionColour)
      << '\n';
  const auto prices = [](const DemoStep& step) { return std::vector{step.price}; };
  const auto at_wanted = [](const DemoStep& step) {
    return step.requested
               ? std::vector<double>(std::count(step.stops.begin(), step.stops.end(), step.rounded),
                                     step.rounded)
               : std::vector<double>{};
  };
  const auto further = [](const DemoStep& step) {
    std::vector<double> others = step.stops;
    if (step.requested) std::erase(others, step.rounded);
    return others;
  };
  const auto not_held = [](const DemoStep& step) {
    return shortfall(step) != Shortfall::none ? std::vector{mark_height(step)}
                                              : std::vector<double>{};
  };
  const double per_step =
      (x.to - x.from) / static_cast<double>(std::max<std::size_t>(steps.size(), 2) - 1);
  const double stop_radius = std::clamp(per_step * 0.15, 1.6, 3.5);
  // With room between the steps, mark each price too; that also shows a lone one.
  if (per_step >= 8) write_dots(steps, x, y, prices, 2.5, fill(kPriceColour), out);
  write_dots(steps, x, y, further, stop_radius, fill(kCandidateColour), out);
  write_dots(steps, x, y, at_wanted, stop_radius, fill(kStopColour), out);
  write_dots(steps, x, y, not_held, 6, ring_style(), out);
  out << fmt::format(R"(<path d="{}" stroke="{}" stroke-width="2" fill="none"/>)",
                     refused_path(steps, x, y), kWrongColour)
      << "\n</svg>\n";
}

}  // namespace app
