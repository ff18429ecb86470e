#pragma once

#include <string>

#include "Core/collaborators/record.hpp"
#include "exchange/rest/rest_client.hpp"

namespace app {

// The pair's instrument among the exchange's active ones (GET /instrument/active). Throws
// std::invalid_argument for a pair the exchange does not list, naming the closest active
// symbols, so that a mistyped pair ends at once rather than after a wait for the feed.
stoploss::Value active_instrument(rest::RestClient& client, const std::string& pair);

}  // namespace app
