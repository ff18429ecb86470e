#include "exchange/auth/refusals.hpp"

#include <array>

namespace auth {
namespace {

struct Words {
  Refusal refusal;
  std::string_view message;  // what the exchange's message starts with
  std::string_view meaning;
};

// In the order of Refusal.
constexpr std::array<Words, 3> kWords{{
    {Refusal::kUnknownKey, kUnknownKey, "the API key is unknown"},
    {Refusal::kBadSignature, kBadSignature, "the signature is refused"},
    {Refusal::kExpired, kExpired, "the request expired"},
}};

}  // namespace

std::optional<Refusal> refusal_of(std::string_view message) {
  for (const Words& words : kWords) {
    if (message.starts_with(words.message)) return words.refusal;
  }
  return std::nullopt;
}

std::string_view meaning(Refusal refusal) {
  return kWords.at(static_cast<std::size_t>(refusal)).meaning;
}

std::string expired_message(long long now) {
  return std::string(kExpired) + " Current time: " + std::to_string(now);
}

}  // namespace auth
