#pragma once

#include <string>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "exchange/auth/credentials.hpp"

namespace feed {

// The commands the client sends on /realtime, as the exchange documents them.
// {"op":"authKeyExpires","args":[key, expires, hex HMAC-SHA256 of "GET/realtime" + expires]}
std::string auth_message(const auth::Credentials& credentials, long long expires);
// {"op":"subscribe","args":["order:XBTUSD", ...]}
std::string subscribe_message(const std::vector<std::string>& topics);

// What a message from the exchange is, told from its shape.
enum class Reply {
  kWelcome,     // {"info", "version", ...} on connecting, and other notices
  kAuthorized,  // {"success": true, "request": {"op": "authKeyExpires"}}
  kSubscribed,  // {"success": true, "subscribe": "order:XBTUSD"}
  kRefused,     // {"status", "error", "request"}: the command was refused
  kTable,       // {"table", "action", "data"}
  kOther,
};
Reply classify(const stoploss::Value& message);

// A refusal as one short line: "401 Invalid API Key. (authKeyExpires)".
std::string refusal_text(const stoploss::Value& message);

}  // namespace feed
