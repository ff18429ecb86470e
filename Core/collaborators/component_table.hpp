#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace stoploss {

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

}  // namespace stoploss
