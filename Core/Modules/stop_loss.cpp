#include "Core/Modules/stop_loss.hpp"

#include <any>
#include <array>
#include <string_view>

#include "Core/Modules/bindings.hpp"
#include "Core/collaborators/failures.hpp"

namespace Modules::StopLoss {

std::atomic<bool> DEBUG{false};

namespace {

std::optional<Bindings> loaded;

template <class Contract>
std::shared_ptr<Contract> import(const stoploss::ComponentTable& host, const std::string& name) {
  auto component = host.find<Contract>(name);
  if (!component) throw stoploss::ImportError("cannot import name " + name);
  return component;
}

}  // namespace

const Bindings& bound() {
  if (!loaded) throw stoploss::ImportError("Modules.StopLoss is not loaded");
  return *loaded;
}

void load(stoploss::ComponentTable& host) {
  Bindings bindings;
  bindings.sleep = import <stoploss::Sleep>(host, "sleep");
  bindings.get_dir = import <stoploss::GetDir>(host, "GetDir");
  constexpr std::array<std::string_view, 7> kComponentDirs = {
      "/Core/Aux", "/Core/utils", "/Core/Modules",    "/Core/auth",
      "/Core/ws",  "/Core/Rest",  "/Core/Automations"};
  for (const auto suffix : kComponentDirs) {
    host.search_list.push_back(bindings.get_dir->Dir() + std::string(suffix));
  }
  bindings.bitmex = import <stoploss::Bitmex_Wrapper>(host, "Bitmex_Wrapper");
  bindings.quor_calls = import <stoploss::QuorCalls>(host, "QuorCalls");  // for toNearest
  bindings.house_log = import <stoploss::HouseLog>(host, "HouseLog");
  bindings.module_handler = import <stoploss::ModuleHandler>(host, "ModuleHandler");
  bindings.risk_manager = import <stoploss::RiskManager>(host, "RiskManager");
  bindings.amend_bulk = import <stoploss::Amend_bulk>(host, "Amend_bulk");
  bindings.cancel_bulk = import <stoploss::Cancel_bulk>(host, "Cancel_bulk");
  loaded = std::move(bindings);
}

void ARM(std::shared_ptr<Aux> INITsend) {
  bound().module_handler->Store(kRegistrySlot, std::move(INITsend));
}

std::optional<bool> Call(const std::string& PAIR, const stoploss::Value& Price,
                         const CallOptions& options) {
  const std::any INIT = bound().module_handler->SERVE(kRegistrySlot);
  const auto* manager = std::any_cast<std::shared_ptr<Aux>>(&INIT);
  if (manager == nullptr || *manager == nullptr) {
    throw stoploss::TypeError("registry slot 11 holds no stop manager");
  }
  return (*manager)->Call(PAIR, Price, options);
}

}  // namespace Modules::StopLoss
