#pragma once

#include <pybind11/pybind11.h>

#include "Core/collaborators/record.hpp"

namespace stoploss_python {

// A Python object as a record: None, bool, int (within 64 bits, signed or not), float, str,
// list or tuple, and dict with str keys, nested at most kMaxJsonDepth levels. Integers stay
// integers and floats keep their exact value. Throws stoploss::ValueError for an integer out of
// range or nesting too deep, stoploss::TypeError for anything else. Needs the GIL.
stoploss::Value to_record(pybind11::handle object);

// A record as Python objects: dict, list, int, float, str, bool or None. Needs the GIL.
pybind11::object to_python(const stoploss::Value& record);

}  // namespace stoploss_python
