#include "records.hpp"

#include <exception>
#include <string>
#include <utility>

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

std::string text(PyObject* object) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) throw py::error_already_set();
  return {utf8, static_cast<std::size_t>(size)};
}

// Takes `value` apart from its leaves up without allocating: the library's own destructor first
// sets a container's children aside in a new list, which cannot be had once memory has run out.
void release(Value& value) noexcept {
  if (value.is_array()) {
    auto& items = value.get_ref<stoploss::RecordList&>();
    for (; !items.empty(); items.pop_back()) release(items.back());
  } else if (value.is_object()) {
    auto& fields = value.get_ref<Value::object_t&>();
    for (; !fields.empty(); fields.erase(fields.begin())) release(fields.begin()->second);
  }
}

// Releases a value under construction when a failure leaves its scope (a conversion that ran
// out of memory must end as a failure, not as the end of the process).
class ReleasedOnFailure {
 public:
  explicit ReleasedOnFailure(Value& value) : value_(value) {}
  ~ReleasedOnFailure() {
    if (std::uncaught_exceptions() > failures_) release(value_);
  }
  ReleasedOnFailure(const ReleasedOnFailure&) = delete;
  ReleasedOnFailure& operator=(const ReleasedOnFailure&) = delete;

 private:
  Value& value_;
  const int failures_ = std::uncaught_exceptions();
};

std::string type_name(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

// With the C API's exact type checks first: a listing of orders crosses on every request.
Value convert(py::handle object, int depth) {
  if (depth > stoploss::kMaxJsonDepth) {
    throw stoploss::ValueError("a record nested deeper than " +
                               std::to_string(stoploss::kMaxJsonDepth) + " levels");
  }
  PyObject* const raw = object.ptr();
  if (raw == Py_None) return nullptr;
  if (PyBool_Check(raw)) return raw == Py_True;
  if (PyLong_Check(raw)) return integer(object);
  if (PyFloat_Check(raw)) return PyFloat_AS_DOUBLE(raw);
  if (PyUnicode_Check(raw)) return text(raw);
  if (PyDict_Check(raw)) {
    Value record = Value::object();
    const ReleasedOnFailure record_guard(record);
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(raw, &position, &key, &item)) {
      if (!PyUnicode_Check(key)) {
        throw stoploss::TypeError("a record's keys must be texts, not " + type_name(key));
      }
      Value field = convert(item, depth + 1);
      const ReleasedOnFailure field_guard(field);
      record[text(key)] = std::move(field);
    }
    return record;
  }
  if (PyList_Check(raw) || PyTuple_Check(raw)) {
    Value list = Value::array();
    const ReleasedOnFailure list_guard(list);
    list.get_ref<stoploss::RecordList&>().reserve(static_cast<std::size_t>(PySequence_Size(raw)));
    for (const py::handle item : object) list.push_back(convert(item, depth + 1));
    return list;
  }
  throw stoploss::TypeError("a " + type_name(object) + " cannot cross into a record");
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
