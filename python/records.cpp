#include "records.hpp"

#include <string>

#include "Core/collaborators/failures.hpp"

namespace py = pybind11;

namespace stoploss_python {
namespace {

using stoploss::Value;

Value integer(py::handle object) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    return value;
  }
  if (overflow > 0) {
    const unsigned long long big = PyLong_AsUnsignedLongLong(object.ptr());
    if (!PyErr_Occurred()) return big;
    PyErr_Clear();
  }
  throw stoploss::ValueError("an integer outside 64 bits cannot cross into a record: " +
                             stoploss::excerpt(py::str(object).cast<std::string>()));
}

Value convert(py::handle object, int depth) {
  if (depth > stoploss::kMaxJsonDepth) {
    throw stoploss::ValueError("a record nested deeper than " +
                               std::to_string(stoploss::kMaxJsonDepth) + " levels");
  }
  if (object.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(object)) return object.cast<bool>();
  if (py::isinstance<py::int_>(object)) return integer(object);
  if (py::isinstance<py::float_>(object)) return object.cast<double>();
  if (py::isinstance<py::str>(object)) return object.cast<std::string>();
  if (py::isinstance<py::dict>(object)) {
    Value record = Value::object();
    for (const auto& [key, item] : object.cast<py::dict>()) {
      if (!py::isinstance<py::str>(key)) {
        throw stoploss::TypeError(
            "a record's keys must be texts, not " +
            py::str(py::type::handle_of(key).attr("__name__")).cast<std::string>());
      }
      record[key.cast<std::string>()] = convert(item, depth + 1);
    }
    return record;
  }
  if (py::isinstance<py::list>(object) || py::isinstance<py::tuple>(object)) {
    Value list = Value::array();
    for (const py::handle item : object) list.push_back(convert(item, depth + 1));
    return list;
  }
  throw stoploss::TypeError(
      "a " + py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>() +
      " cannot cross into a record");
}

}  // namespace

Value to_record(py::handle object) { return convert(object, 0); }

py::object to_python(const Value& record) {
  switch (record.type()) {
    case Value::value_t::null:
      return py::none();
    case Value::value_t::boolean:
      return py::bool_(record.get<bool>());
    case Value::value_t::number_integer:
      return py::int_(record.get<long long>());
    case Value::value_t::number_unsigned:
      return py::int_(record.get<unsigned long long>());
    case Value::value_t::number_float:
      return py::float_(record.get<double>());
    case Value::value_t::string:
      return py::str(record.get_ref<const std::string&>());
    case Value::value_t::array: {
      py::list list;
      for (const Value& item : record) list.append(to_python(item));
      return list;
    }
    case Value::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : record.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
    default:  // binary and discarded values are never made from records
      return py::none();
  }
}

}  // namespace stoploss_python
