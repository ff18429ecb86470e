#include "Core/Modules/stop_manager.hpp"

#include "Core/Modules/bindings.hpp"
#include "Core/Modules/stop_request.hpp"

namespace Modules::StopLoss {

Aux::Aux(std::vector<std::string> PairLIST) : PairLIST(std::move(PairLIST)) {
  for (const auto& pair : this->PairLIST) SLCONTRACTS_List[pair] = 0;
}

std::optional<bool> Aux::Call(const std::string& PAIR, const stoploss::Value& Price,
                              const CallOptions& options) {
  return StopRequest(*this, bound(), PAIR, Price, options).run();
}

}  // namespace Modules::StopLoss
