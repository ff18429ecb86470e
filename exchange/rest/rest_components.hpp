#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "Core/collaborators/component_table.hpp"
#include "exchange/rest/feed_reconciler.hpp"
#include "exchange/rest/live_feed.hpp"
#include "exchange/rest/rest_client.hpp"

namespace rest {

struct RestHostOptions {
  std::string install_dir = "/opt/bot";
  std::shared_ptr<stoploss::HouseLog> log{};       // where the module's log goes (required)
  std::chrono::milliseconds instrument_ttl{2000};  // how long instrument data is reused
  std::shared_ptr<stoploss::Sleep> sleep{};        // the module's pauses; waits when none
  // The realtime feed, when the host runs one. The module keeps its collaborators until the
  // process ends: a host that must stop the feed before then (its thread and TLS state) keeps
  // it and passes a non-owning pointer, as `stoploss request` does.
  std::shared_ptr<LiveFeed> feed{};
  // How often a pair's open orders from the feed are compared with a REST listing (one GET
  // each time), and the clock of that schedule (the system's steady clock when empty).
  std::chrono::milliseconds reconcile_every{60000};
  SteadyClock clock{};
};

// Every collaborator of the module over the exchange's REST API through `client`, which must
// outlive them:
// - instrument data (tick, maximum order quantity, mid price) from the feed while it is up,
//   otherwise from GET /instrument, reused for `instrument_ttl`;
// - open orders from the feed while it is up and the listing is not forced, otherwise from
//   GET /order?filter={"open":true}; a stop from POST /order; the pair's stops removed with
//   DELETE /order/all; every order a write answers is applied to the feed at once;
// - with a feed, its open orders reconciled with REST listings (FeedReconciler): once every
//   `reconcile_every` per pair, at once after a write the feed does not show as answered;
// - bulk amend as one PUT /order per record, stopping at the first failure (the exchange has
//   withdrawn its bulk endpoint); bulk cancel as one DELETE /order for all the orderIDs,
//   removing from the list every entry the exchange reports cancelled;
// - WS_Status: the feed's state (up when there is no feed: listings then come from REST).
// Each operation ends within the client's total_deadline (a bulk amend's PUTs share one).
stoploss::ComponentTable rest_components(RestClient& client, const RestHostOptions& options);

}  // namespace rest
