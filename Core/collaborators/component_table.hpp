#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/GetDir.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/ModuleHandler.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"

namespace stoploss {

// One of each collaborator the module binds.
struct Collaborators {
  std::shared_ptr<Sleep> sleep{};
  std::shared_ptr<GetDir> get_dir{};
  std::shared_ptr<Bitmex_Wrapper> bitmex{};
  std::shared_ptr<HouseLog> house_log{};
  std::shared_ptr<QuorCalls> quor_calls{};
  std::shared_ptr<ModuleHandler> module_handler{};
  std::shared_ptr<RiskManager> risk_manager{};
  std::shared_ptr<Amend_bulk> amend_bulk{};
  std::shared_ptr<Cancel_bulk> cancel_bulk{};
};

// The host's components, looked up by name, and its search list of component directories.
// Not safe to change while another thread reads it.
class ComponentTable {
 public:
  // Registers `component` under `name` as the contract `Contract`, which must be named:
  // table.add<QuorCalls>("QuorCalls", calls).
  template <class Contract>
  void add(const std::string& name, std::type_identity_t<std::shared_ptr<Contract>> component) {
    components_[name] = std::move(component);
  }

  // The component registered under `name` as `Contract`, or null when there is none.
  template <class Contract>
  std::shared_ptr<Contract> find(const std::string& name) const {
    const auto found = components_.find(name);
    if (found == components_.end()) return nullptr;
    const auto* component = std::any_cast<std::shared_ptr<Contract>>(&found->second);
    return component ? *component : nullptr;
  }

  // Unregisters the component under `name`, if any.
  void remove(const std::string& name) { components_.erase(name); }

  std::vector<std::string> search_list;

 private:
  std::map<std::string, std::any, std::less<>> components_;
};

// A table holding each collaborator under the name the module looks it up by: "sleep",
// "GetDir", "Bitmex_Wrapper", "HouseLog", "QuorCalls", "ModuleHandler", "RiskManager",
// "Amend_bulk", "Cancel_bulk". A null one is left out.
ComponentTable component_table(const Collaborators& collaborators);

}  // namespace stoploss
