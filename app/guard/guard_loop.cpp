#include "guard_loop.hpp"

namespace app::guard {

GuardLoop::GuardLoop(Scheduler scheduler) : scheduler_(std::move(scheduler)) {}

void GuardLoop::add(const std::string& pair, std::unique_ptr<trail::Venue> venue,
                    const trail::TrailSettings& settings) {
  auto session = std::make_unique<trail::TrailSession>(*venue, settings);
  pairs_[pair] = {.venue = std::move(venue), .session = std::move(session)};
}

void GuardLoop::remove(const std::string& pair) { pairs_.erase(pair); }

std::vector<std::string> GuardLoop::pairs() const {
  std::vector<std::string> names;
  for (const auto& [pair, guarded] : pairs_) names.push_back(pair);
  return names;
}

std::vector<PairStep> GuardLoop::tick(Clock::time_point now, trail::Budget budget) {
  std::vector<PairStep> steps;
  std::vector<trail::Due> wants;
  std::vector<std::size_t> wanting;  // the step of each want
  for (auto& [pair, guarded] : pairs_) {
    steps.push_back({.pair = pair, .step = guarded.session->look(now)});
    if (steps.back().step.due) {
      wants.push_back(*steps.back().step.due);
      wanting.push_back(steps.size() - 1);
    }
  }
  if (const auto pick = scheduler_.next(wants, budget, now)) {
    PairStep& chosen = steps[wanting[*pick]];
    trail::take_sent(chosen.step, pairs_.at(chosen.pair).session->send_due(now));
    scheduler_.sent(now, chosen.step.request ? chosen.step.request->sent.http_requests : 1);
  } else if (wants.empty() && scheduler_.spare(budget, now)) {
    // Nothing due: a pair's surplus stops go, one pair a turn.
    for (PairStep& step : steps) {
      trail::TrailSession& session = *pairs_.at(step.pair).session;
      if (!session.surplus_due()) continue;
      step.step.cleanup = session.cancel_surplus().cleanup;
      scheduler_.sent(now, 1);
      break;
    }
  }
  return steps;
}

}  // namespace app::guard
