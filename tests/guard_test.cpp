// `stoploss guard`'s pieces: the config, the scheduler's order, the metrics page, and the service
// guarding several pairs of the embedded exchange on loopback with its realtime feed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "embedded_exchange/engine/perpetuals.hpp"
#include "guard/guard_service.hpp"
#include "guard/metrics.hpp"
#include "guard/scheduler.hpp"
#include "live_rig.hpp"
#include "row_name.hpp"
#include "trail/own_stops.hpp"

namespace {

namespace guard = app::guard;
namespace trail = app::trail;
using testing::HasSubstr;

struct ConfigCase {
  const char* name;
  const char* toml;
  const char* refusal;  // a part of the refusal's text
};

const ConfigCase kConfigs[] = {
    {"nothing to guard", "exchange = \"https://testnet.bitmex.com\"\n", "pairs: nothing to guard"},
    {"a misspelt key beside good ones", "[pairs.XBTUSD]\ndistance = 100\nmin_intervl = 2\n",
     "pairs.XBTUSD.min_intervl: unknown key"},
    {"an unknown key at the top", "exchnage = \"x\"\n[default]\npercent = 1\n",
     "exchnage: unknown key"},
    {"distance and percent both", "[pairs.XBTUSD]\ndistance = 100\npercent = 1\n",
     "pairs.XBTUSD: give either distance or percent"},
    {"neither distance nor percent", "[pairs.XBTUSD]\nmin_interval = 1\n",
     "pairs.XBTUSD: give either"},
    {"a distance below 0", "[pairs.XBTUSD]\ndistance = -5\n",
     "pairs.XBTUSD.distance: must be above 0"},
    {"a percent of 100", "[default]\npercent = 100\n",
     "default.percent: must be above 0 and below"},
    {"nan", "[default]\npercent = nan\n", "default.percent: must be a number"},
    {"a distance in quotes", "[pairs.XBTUSD]\ndistance = \"100\"\n",
     "pairs.XBTUSD.distance: must be a number"},
    {"an interval too short", "[default]\npercent = 1\nmin_interval = 0.01\n",
     "default.min_interval: must be from 0.05"},
    {"plain http off loopback", "exchange = \"http://example.com\"\n[default]\npercent = 1\n",
     "exchange: "},
    {"metrics without a port", "metrics = \"127.0.0.1\"\n[default]\npercent = 1\n",
     "metrics: give an address and a port"},
    {"no log files kept", "[log]\nfile = \"g.log\"\nfiles = 0\n[default]\npercent = 1\n",
     "log.files: must be from 1 to 100"},
    {"a table left open", "[pairs.XBTUSD\ndistance = 100\n", "line 1: "},
    {"pairs that are no table", "pairs = 3\n", "pairs: must be a table"},
};

class Configs : public testing::TestWithParam<ConfigCase> {};

TEST_P(Configs, AreRefusedNamingTheKey) {
  try {
    guard::parse_config(GetParam().toml);
    ADD_FAILURE() << "taken";
  } catch (const guard::ConfigError& refused) {
    EXPECT_THAT(refused.what(), HasSubstr(GetParam().refusal));
  }
}
INSTANTIATE_TEST_SUITE_P(Guard, Configs, testing::ValuesIn(kConfigs),
                         row_names(kConfigs, &ConfigCase::name));

// Wants as "x0.01@100 c0.05@100": exposed (x) or covered (c), the gap, milliseconds waited; the
// request picked (-1: none); the budget left of 120 a minute ("29", or "100/1" with the orders
// left for this second); the last request's age and cost.
struct TurnCase {
  const char* name;
  const char* wants;
  int first;
  const char* budget = "100";
  std::chrono::milliseconds since_last = 1h;
  int last_cost = 1;
};

const TurnCase kTurns[] = {
    {"an exposed pair before a covered one with a wider gap", "c0.05@100 x0.01@100", 1},
    {"of two exposed pairs the wider gap", "x0.01@100 x0.02@100", 1},
    {"as exposed and as wide: the one waiting longest", "x0.01@100 x0.01@300", 1},
    {"a pair kept waiting 5 s before the most exposed", "x1@100 c0@5000", 1},
    {"of two kept waiting too long the longer", "c0@6000 c0@5000", 0},
    {"nothing due: nothing", "", -1},
    {"under a quarter of the budget, sooner than it refills: nothing", "x1@0", -1, "29", 499ms},
    {"under a quarter of the budget, once it refilled", "x1@0", 0, "29", 500ms},
    {"none left: a refill for what the last request cost", "x1@0", -1, "0", 900ms, 2},
    {"a quarter of the budget left: at once", "x1@0", 0, "30", 1ms},
    {"one order left for this second: the next second", "x1@0", -1, "100/1", 999ms},
    {"two orders left for this second: at once", "x1@0", 0, "100/2", 1ms},
};

class Turns : public testing::TestWithParam<TurnCase> {};

TEST_P(Turns, GoToTheMostExposedPairWithinTheBudget) {
  const TurnCase& c = GetParam();
  const guard::Clock::time_point now = guard::Clock::time_point{} + 24h;
  std::vector<trail::Due> wants;
  std::istringstream listed(c.wants);
  char kind = 0, at = 0;
  double gap = 0;
  int waited = 0;
  while (listed >> kind >> gap >> at >> waited) {
    wants.push_back({.exposed = kind == 'x', .gap = gap, .since = now - 1ms * waited});
  }
  trail::Budget budget{.limit = 120};
  char slash = 0;
  std::istringstream(c.budget) >> budget.remaining >> slash >> budget.second_remaining;
  guard::Scheduler scheduler;
  scheduler.sent(now - c.since_last, c.last_cost);
  const auto first = scheduler.next(wants, budget, now);
  EXPECT_EQ(first ? static_cast<int>(*first) : -1, c.first);
}
INSTANTIATE_TEST_SUITE_P(Guard, Turns, testing::ValuesIn(kTurns),
                         row_names(kTurns, &TurnCase::name));

TEST(Guard, ACleanUpWaitsForHalfTheBudgetAndASecondSinceTheLastRequest) {
  const guard::Clock::time_point now = guard::Clock::time_point{} + 24h;
  guard::Scheduler scheduler;
  EXPECT_TRUE(scheduler.spare({.limit = 120, .remaining = -1}, now));
  scheduler.sent(now, 1);
  EXPECT_FALSE(scheduler.spare({.limit = 120, .remaining = 120}, now + 999ms));
  EXPECT_TRUE(scheduler.spare({.limit = 120, .remaining = 60}, now + 1s));
  EXPECT_FALSE(scheduler.spare({.limit = 120, .remaining = 59}, now + 1s));
}

// The page read back as a scraper reads it: every sample line "name{labels} value".
TEST(Guard, MetricsPageReadsBackAsPrometheusText) {
  guard::GuardMetrics metrics{.budget_limit = 120,
                              .budget_remaining = 97,
                              .rate_limited = 2,
                              .feed_up = true,
                              .protection_seconds = {0.02, 0.3, 4}};
  metrics.pairs["XBTUSD"] = {.position = 1000,
                             .last_price = 9000,
                             .wanted = 8900,
                             .requests = {{"true", 3}, {"failed", 1}},
                             .http_requests = 5};
  metrics.pairs["A\"B\\C"] = {.position = -5};  // a symbol as a hostile feed might name it
  const std::regex sample(R"re(([a-z_]+)(\{(([a-z]+="([^"\\]|\\.)*",?)+)\})? (\S+))re");
  std::map<std::string, double> values;
  std::istringstream page(guard::prometheus_text(metrics));
  for (std::string line; std::getline(page, line);) {
    if (line.starts_with("#")) continue;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, sample)) << line;
    values[parts[1].str() + parts[2].str()] = std::stod(parts[6]);
  }
  EXPECT_EQ(values.at("stoploss_guard_position_contracts{pair=\"XBTUSD\"}"), 1000);
  EXPECT_EQ(values.at("stoploss_guard_position_contracts{pair=\"A\\\"B\\\\C\"}"), -5);
  EXPECT_EQ(values.at("stoploss_guard_wanted_stop_price{pair=\"XBTUSD\"}"), 8900);
  EXPECT_EQ(values.count("stoploss_guard_wanted_stop_price{pair=\"A\\\"B\\\\C\"}"), 0);
  EXPECT_EQ(values.at("stoploss_guard_requests_total{pair=\"XBTUSD\",result=\"failed\"}"), 1);
  EXPECT_EQ(values.at("stoploss_guard_budget_remaining"), 97);
  EXPECT_EQ(values.at("stoploss_guard_rate_limited_total"), 2);
  EXPECT_EQ(values.at("stoploss_guard_time_to_protection_seconds_bucket{le=\"0.05\"}"), 1);
  EXPECT_EQ(values.at("stoploss_guard_time_to_protection_seconds_bucket{le=\"0.5\"}"), 2);
  EXPECT_EQ(values.at("stoploss_guard_time_to_protection_seconds_bucket{le=\"+Inf\"}"), 3);
  EXPECT_DOUBLE_EQ(values.at("stoploss_guard_time_to_protection_seconds_sum"), 4.32);
}

class RecordedEvents final : public guard::Events {
 public:
  void event(std::string_view name, nlohmann::json fields) override {
    fields["event"] = name;
    lines.push_back(std::move(fields));
  }
  int count(const std::string& name, const std::string& pair) const {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const nlohmann::json& e) {
      return e["event"] == name && e.value("pair", "") == pair;
    }));
  }
  std::vector<nlohmann::json> lines;
};

// The embedded exchange listing the perpetuals, on loopback with its feed, and a guard over it on
// a clock of its own; `stop` drops the guard, its module and its feed as a SIGKILL would.
class GuardRig : public LiveRig {
 public:
  GuardRig() : LiveRig(sim::perpetuals()) {}
  ~GuardRig() { stop(); }

  void start(const char* config) {
    connect({});
    std::set<std::string> tradable;
    for (const auto& [symbol, listed] : exchange_.instruments()) tradable.insert(symbol);
    service_ = std::make_unique<guard::GuardService>(guard::parse_config(config), tradable,
                                                     *client_, *feed_, *module_, events_);
  }
  void stop() {
    service_.reset();
    disconnect();
  }
  // Ticks a second apart until `done` holds, for at most `bound` of real time.
  bool tick_until(const std::function<bool()>& done, std::chrono::milliseconds bound = 3s) {
    return eventually(
        [&] {
          service_->tick(now_ += 1s);
          return done();
        },
        bound);
  }

  std::unique_ptr<guard::GuardService> service_;
  RecordedEvents events_;
  guard::Clock::time_point now_{};
};

constexpr const char* kEveryPosition = "[default]\npercent = 1\n[pairs.XBTUSD]\ndistance = 100\n";

// Positions found on the feed and guarded, one stop left of each move once nothing is due, one
// position closed and let go, a reload that lets one go and keeps its stop standing, and one that
// names another exchange refused.
TEST(Guard, GuardsEveryOpenPositionAndLetsGoOfClosedOnes) {
  GuardRig rig;
  rig.trade("XBTUSD", 1000);
  rig.trade("ETHUSDT", 2000);
  rig.trade("SOLUSDT", -3000);
  rig.start(kEveryPosition);
  ASSERT_TRUE(rig.tick_until(
      [&] { return rig.service_->all_protected() && rig.service_->guarded().size() == 3; }));
  EXPECT_EQ(rig.stops("XBTUSD"), std::vector<double>{8900});
  EXPECT_EQ(rig.stops("ETHUSDT"), std::vector<double>{1980});
  EXPECT_EQ(rig.stops("SOLUSDT"), std::vector<double>{25.25});
  EXPECT_EQ(rig.events_.count("guard", "ETHUSDT"), 1);
  for (const double price : {9050, 9100}) {  // the module places each tighter stop beside the last
    rig.server_.with_exchange([&](sim::SimExchange& e) { e.set_price("XBTUSD", price); });
    ASSERT_TRUE(
        rig.tick_until([&] { return std::ranges::count(rig.stops("XBTUSD"), price - 100) > 0; }));
  }
  ASSERT_TRUE(rig.tick_until([&] { return rig.stops("XBTUSD") == std::vector<double>{9000}; }));

  rig.trade("SOLUSDT", 3000);  // closed by hand: its stop would open a position now
  ASSERT_TRUE(rig.tick_until([&] { return rig.service_->guarded().size() == 2; }));
  EXPECT_EQ(rig.stops("SOLUSDT"), std::vector<double>{});
  EXPECT_EQ(rig.events_.count("close", "SOLUSDT"), 1);
  EXPECT_EQ(rig.events_.count("release", "SOLUSDT"), 1);

  rig.service_->reload(guard::parse_config("[pairs.XBTUSD]\ndistance = 50\n"));
  EXPECT_EQ(rig.service_->guarded(), std::vector<std::string>{"XBTUSD"});
  EXPECT_EQ(rig.events_.count("release", "ETHUSDT"), 1);
  ASSERT_TRUE(rig.tick_until([&] { return rig.stops("XBTUSD") == std::vector<double>{9050}; }));
  EXPECT_EQ(rig.stops("ETHUSDT"), std::vector<double>{1980});
  EXPECT_THROW(rig.service_->reload(guard::parse_config(
                   "exchange = \"https://testnet.bitmex.com\"\n[pairs.XBTUSD]\ndistance = 50\n")),
               guard::ConfigError);
}

// Killed with stops of an earlier run on the book (one looser than the last, one of the trader's),
// a new guard protects every position after its first request by one stop of its own, at or
// tighter than before, and leaves the trader's: also a tighter one that is not reduce-only, which
// it does not take for a stop guarding the position.
TEST(Guard, ARestartAdoptsWhatStandsAndLeavesOneStopOfItsOwn) {
  GuardRig rig;
  rig.trade("XBTUSD", 1000);
  rig.trade("ETHUSD", -500);
  rig.start(kEveryPosition);
  ASSERT_TRUE(rig.tick_until([&] { return rig.service_->all_protected(); }));
  rig.server_.with_exchange([](sim::SimExchange& e) {
    e.set_price("XBTUSD", 9100);
    e.place_stop("XBTUSD", 8800, -1000, std::nullopt, std::string(trail::kTrailTag));
    e.place_stop("XBTUSD", 8500, -1000, std::nullopt, "the trader's");
  });
  ASSERT_TRUE(rig.tick_until([&] { return std::ranges::count(rig.stops("XBTUSD"), 9000) > 0; }));
  rig.stop();  // killed: nothing finished, nothing tidied

  rig.server_.with_exchange([](sim::SimExchange& e) {
    e.set_price("XBTUSD", 9050);
    e.place(stoploss::Value::parse(R"({"symbol":"XBTUSD","side":"Sell","orderQty":100,)"
                                   R"("ordType":"Stop","stopPx":9020,"execInst":"LastPrice"})"));
  });
  rig.start(kEveryPosition);
  ASSERT_TRUE(rig.tick_until([&] {
    return rig.service_->all_protected() &&
           rig.stops("XBTUSD") == std::vector<double>{8500, 9000, 9020};
  }));
  EXPECT_EQ(rig.stops("ETHUSD"), std::vector<double>{2020});
}

}  // namespace
