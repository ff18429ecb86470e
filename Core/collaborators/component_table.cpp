#include "Core/collaborators/component_table.hpp"

namespace stoploss {
namespace {

template <class Contract>
void add_if_given(ComponentTable& table, const std::string& name,
                  const std::shared_ptr<Contract>& component) {
  if (component) table.add<Contract>(name, component);
}

}  // namespace

ComponentTable component_table(const Collaborators& collaborators) {
  ComponentTable table;
  add_if_given(table, "sleep", collaborators.sleep);
  add_if_given(table, "GetDir", collaborators.get_dir);
  add_if_given(table, "Bitmex_Wrapper", collaborators.bitmex);
  add_if_given(table, "HouseLog", collaborators.house_log);
  add_if_given(table, "QuorCalls", collaborators.quor_calls);
  add_if_given(table, "ModuleHandler", collaborators.module_handler);
  add_if_given(table, "RiskManager", collaborators.risk_manager);
  add_if_given(table, "Amend_bulk", collaborators.amend_bulk);
  add_if_given(table, "Cancel_bulk", collaborators.cancel_bulk);
  return table;
}

}  // namespace stoploss
