// Random books, wanted prices and faults of the feed or of REST, each case reproducible from its
// seed, with the realtime feed in the loop: after every request the exchange's own book, not the
// feed's, must keep the module's promises. A failing case prints its seed, book, price and fault.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Core/utils/rounding.hpp"
#include "feed_rig.hpp"

namespace {

constexpr double kMid = 9000;  // impactMidPrice of the rig's XBTUSD
constexpr double kTick = 0.5;
constexpr long long kLot = 100;
constexpr long long kContracts = 9999900;  // maxOrderQty - 1 in whole lots
constexpr std::uint64_t kBaseSeed = 0xfeed'5700;
constexpr int kSeeds = 60;
// Short bounds keep a stalled answer or feed from holding a case for long.
constexpr RigOptions kOptions{.lot = kLot, .stall_for = 300ms, .stale_after = 150ms};

enum class Fault { kNone, kDropAtListing, kFeedStall, kFeedDelay, kRest503, kRestStall };
constexpr const char* kFaultNames[] = {"none",         "feed dropped at the first listing",
                                       "feed stalled", "feed messages delayed",
                                       "REST 503 on",  "REST stall on"};
constexpr const char* kWrites[] = {"POST /api/v1/order", "PUT /api/v1/order",
                                   "DELETE /api/v1/order"};

struct BookStop {
  bool buy;
  double price;
};

struct Case {
  std::uint64_t seed;
  std::vector<BookStop> book;
  double wanted;
  Fault fault;
  std::string write;  // the route of a REST fault
  int delay_ms;       // of delayed feed messages

  bool rest_fault() const { return fault == Fault::kRest503 || fault == Fault::kRestStall; }
  std::string describe() const {
    std::ostringstream out;
    out << "seed " << seed << ", book [";
    for (const BookStop& stop : book) out << " " << (stop.buy ? "Buy " : "Sell ") << stop.price;
    out << " ], wanted " << wanted << ", fault: " << kFaultNames[static_cast<int>(fault)];
    if (rest_fault()) out << " " << write;
    if (fault == Fault::kFeedDelay) out << " " << delay_ms << " ms";
    return out.str();
  }
};

Case draw(std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  const auto below = [&engine](int n) {
    return static_cast<int>(std::uniform_int_distribution<int>(0, n - 1)(engine));
  };
  Case c{.seed = seed, .book = {}, .wanted = 0, .fault = Fault::kNone, .write = "", .delay_ms = 0};
  const bool buy = below(2) == 1;
  // Cents off the tick, at least a dollar from the market.
  const double offset = 1 + below(100000) / 100.0;
  c.wanted = buy ? kMid + offset : kMid - offset;
  const double rounded = utils::nearest_multiple(c.wanted, kTick);
  const int stops = below(5);
  for (int i = 0; i < stops; ++i) {
    if (below(4) == 0) {
      c.book.push_back({buy, rounded});  // already placed
      continue;
    }
    const bool stop_buy = below(2) == 1;
    const double ticks = 2 + below(2000);
    c.book.push_back({stop_buy, stop_buy ? kMid + ticks * kTick : kMid - ticks * kTick});
  }
  c.fault = static_cast<Fault>(below(6));
  c.write = kWrites[below(3)];
  c.delay_ms = 5 + below(50);
  return c;
}

std::size_t stops_of(const stoploss::RecordList& orders) {
  std::size_t stops = 0;
  for (const stoploss::Value& order : orders) {
    stops += order.value("ordType", std::string()).find("Stop") != std::string::npos;
  }
  return stops;
}

// The module's stop: reduce-only, at `price`, on `side`, its size in whole lots.
bool module_stop_stands(const stoploss::RecordList& orders, double price, const std::string& side) {
  for (const stoploss::Value& order : orders) {
    if (order.value("ordType", std::string()).find("Stop") == std::string::npos) continue;
    if (order.value("execInst", std::string()).find("ReduceOnly") == std::string::npos) continue;
    const auto stopPx = order.find("stopPx");
    const auto size = order.find("orderQty");
    if (stopPx == order.end() || !stopPx->is_number() || size == order.end() ||
        !size->is_number_integer()) {
      continue;
    }
    const long long contracts = std::llabs(size->get<long long>());
    if (stopPx->get<double>() == price && order.value("side", std::string()) == side &&
        contracts == kContracts && contracts % kLot == 0) {
      return true;
    }
  }
  return false;
}

struct Outcome {
  std::vector<std::string> broken;
  bool fault_landed = false;  // the fault was brought about, or the route it waited for was used
  bool ended_true = false;
};

Outcome run(const Case& c) {
  Outcome out;
  Rig rig({}, kOptions);
  rig.connect(kSecret, true);
  if (!rig.ws_status()) {
    out.broken.push_back("the feed did not come up");
    return out;
  }
  rig.server_.with_exchange([&c](sim::SimExchange& e) {
    for (const BookStop& stop : c.book) {
      e.place_stop("XBTUSD", stop.price, stop.buy ? kContracts : -kContracts, {}, "");
    }
  });
  const auto feed_shows_book = [&rig, &c] {
    const ws::Snapshot listed = rig.feed_->feed->open_orders("XBTUSD");
    return listed && listed->size() == c.book.size();
  };
  if (!eventually(feed_shows_book)) {
    out.broken.push_back("the feed never showed the book");
    return out;
  }

  bool dropped = false;
  switch (c.fault) {
    case Fault::kNone:
      out.fault_landed = true;
      break;
    case Fault::kDropAtListing:
      rig.feed_->at_listing = [&rig, &dropped] {
        rig.server_.feed_fault(sim::FeedFault::kDrop);
        dropped = eventually([&rig] { return !rig.feed_->feed->last_error().empty(); });
      };
      break;
    case Fault::kFeedStall:
      rig.server_.feed_fault(sim::FeedFault::kStall, 2 * kOptions.stale_after);
      out.fault_landed = true;
      break;
    case Fault::kFeedDelay:
      rig.server_.set_feed_faults(
          {.delay = std::chrono::milliseconds(c.delay_ms), .refuse_auth = false});
      out.fault_landed = true;
      break;
    case Fault::kRest503:
      rig.server_.fail_next(sim::ServerFault::kOverload, c.write);
      break;
    case Fault::kRestStall:
      rig.server_.fail_next(sim::ServerFault::kStall, c.write);
      break;
  }

  rig.server_.reset_counts();
  std::optional<bool> result;
  std::string thrown;
  try {
    result = StopLoss::Call("XBTUSD", c.wanted);
  } catch (const std::exception& failure) {
    thrown = failure.what();
  }
  if (c.fault == Fault::kDropAtListing) out.fault_landed = dropped;
  if (c.rest_fault()) out.fault_landed = rig.server_.requests().count(c.write) > 0;

  stoploss::RecordList after;
  rig.server_.with_exchange([&after](sim::SimExchange& e) { after = e.open_orders("XBTUSD"); });
  const double rounded = utils::nearest_multiple(c.wanted, kTick);
  const std::string side = c.wanted > kMid ? "Buy" : "Sell";
  out.ended_true = result == true;

  if (stops_of(after) > c.book.size() + 1) {
    out.broken.push_back("found " + std::to_string(c.book.size()) + " stops, left " +
                         std::to_string(stops_of(after)));
  }
  if (!c.rest_fault() && result != true) {
    out.broken.push_back(
        "not true without a REST fault: " +
        (thrown.empty() ? std::string(result ? "false" : "nothing") : "threw " + thrown));
  }
  if (result == true && !module_stop_stands(after, rounded, side)) {
    out.broken.push_back("true, yet no reduce-only " + side + " stop of " +
                         std::to_string(kContracts) + " stands at " + std::to_string(rounded));
  }
  return out;
}

TEST(FeedModel, EveryRequestKeepsItsPromisesWhateverTheFeedOrRestDoes) {
  std::map<Fault, int> landed;
  int ended_true = 0;
  for (int i = 0; i < kSeeds; ++i) {
    const Case c = draw(kBaseSeed + i);
    const Outcome out = run(c);
    if (!out.broken.empty()) {
      std::string listing;
      for (const std::string& promise : out.broken) listing += "\n  - " + promise;
      ADD_FAILURE() << c.describe() << listing;
    }
    landed[c.fault] += out.fault_landed;
    ended_true += out.ended_true;
  }
  // The seeds must bring every kind of fault about, or the promises were not tried under it.
  for (int f = 0; f <= static_cast<int>(Fault::kRestStall); ++f) {
    EXPECT_GT(landed[static_cast<Fault>(f)], 0) << kFaultNames[f];
  }
  EXPECT_GT(ended_true, kSeeds / 2);
}

}  // namespace
