#include "embedded_exchange/engine/exchange_errors.hpp"

#include "Core/collaborators/record.hpp"

namespace sim {

std::string echo_excerpt(std::string_view text) {
  if (text.size() <= kMostEchoed) return std::string(text);
  std::size_t cut = kMostEchoed;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

std::string error_body(std::string_view message, std::string_view name) {
  return stoploss::Value{
      {"error", {{"message", std::string(message)}, {"name", std::string(name)}}}}
      .dump();
}

void refuse(std::string_view message, int status, std::string_view name) {
  throw Refusal(status, name, message);
}

void refuse_field(std::string_view message) { refuse(message, 400, "ValidationError"); }

}  // namespace sim
