#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "Core/collaborators/component_table.hpp"

namespace stoploss_python {

// Registers `object` under `name` ("QuorCalls", "HouseLog", ...): a ready-made collaborator
// (a stoploss.QuorCalls from rest_components, ...) as it is, any other object as a Python
// collaborator with the methods the module calls (duck-typed), each call taking the GIL,
// passing records as dicts and lists and turning what the object raises into the module's
// failure kinds. Throws std::invalid_argument for a name the module does not bind.
void add_collaborator(stoploss::ComponentTable& table, const std::string& name,
                      pybind11::object object);

// Makes every collaborator contract a Python type, for the ready-made ones to cross as.
void add_contract_types(pybind11::module_& module);

// The names the module binds its collaborators by, in the order it binds them.
std::vector<std::string> collaborator_names();

// The collaborators of `table` as ready-made Python objects by name, each keeping `owner`
// (what they need to outlive them) alive.
pybind11::dict ready_collaborators(const stoploss::ComponentTable& table,
                                   const std::shared_ptr<const void>& owner);

}  // namespace stoploss_python
