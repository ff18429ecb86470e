#include "exchange/feed/feed_messages.hpp"

#include "exchange/auth/signature.hpp"

namespace feed {
namespace {

using stoploss::Value;

const Value* member(const Value& message, const char* name) {
  const auto found = message.find(name);
  return found == message.end() ? nullptr : &*found;
}

}  // namespace

std::string auth_message(const auth::Credentials& credentials, long long expires) {
  const Value message = {{"op", "authKeyExpires"},
                         {"args",
                          {credentials.key, expires,
                           auth::signature(credentials.secret, "GET", "/realtime", expires, "")}}};
  return message.dump();
}

std::string subscribe_message(const std::vector<std::string>& topics) {
  return Value{{"op", "subscribe"}, {"args", topics}}.dump();
}

Reply classify(const Value& message) {
  if (!message.is_object()) return Reply::kOther;
  if (member(message, "table") && member(message, "action")) return Reply::kTable;
  if (member(message, "error")) return Reply::kRefused;
  const Value* success = member(message, "success");
  if (success && *success == true) {
    if (member(message, "subscribe")) return Reply::kSubscribed;
    const Value* request = member(message, "request");
    if (request && request->is_object()) {
      const Value* op = member(*request, "op");
      if (op && *op == "authKeyExpires") return Reply::kAuthorized;
    }
    return Reply::kOther;
  }
  if (success) return Reply::kRefused;  // "success": false
  if (member(message, "info") || member(message, "version")) return Reply::kWelcome;
  return Reply::kOther;
}

std::string refusal_text(const Value& message) {
  std::string text;
  if (const Value* status = member(message, "status")) text = stoploss::to_text(*status) + " ";
  const Value* error = member(message, "error");
  text += error ? stoploss::excerpt(stoploss::to_text(*error), 200) : "refused";
  if (const Value* request = member(message, "request"); request && request->is_object()) {
    if (const Value* op = member(*request, "op")) {
      text += " (" + stoploss::excerpt(stoploss::to_text(*op), 40) + ")";
    }
  }
  return text;
}

}  // namespace feed
