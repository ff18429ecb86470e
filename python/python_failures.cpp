#include "python_failures.hpp"

#include <pybind11/eval.h>

#include <stdexcept>
#include <string>

#include "Core/collaborators/failures.hpp"

namespace py = pybind11;

namespace stoploss_python {
namespace {

constexpr const char* kHttpErrorSource = R"(
class HTTPError(Exception):
    """A refusal of the exchange: its HTTP status and the raw body of its answer."""

    def __init__(self, status, body="", text=None):
        super().__init__(text if text is not None else f"HTTP {status}: {body}")
        self.status = status
        self.body = body
)";

// A Python exception's text: str() of its value, as Python prints it.
std::string text_of(const py::error_already_set& failure) {
  return py::str(failure.value()).cast<std::string>();
}

py::object http_error_type() { return py::module_::import("stoploss").attr("HTTPError"); }

}  // namespace

void add_failures(py::module_& module) {
  py::exec(kHttpErrorSource, module.attr("__dict__"));
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const stoploss::HTTPError& refused) {
      const py::object type = http_error_type();
      const py::object raised =
          type(refused.response().status_code, refused.response().body, refused.what());
      PyErr_SetObject(type.ptr(), raised.ptr());
    } catch (const stoploss::KeyError& missing) {
      PyErr_SetString(PyExc_KeyError, missing.what());
    } catch (const stoploss::TypeError& wrong) {
      PyErr_SetString(PyExc_TypeError, wrong.what());
    } catch (const stoploss::ValueError& bad) {
      PyErr_SetString(PyExc_ValueError, bad.what());
    } catch (const stoploss::ImportError& absent) {
      PyErr_SetString(PyExc_ImportError, absent.what());
    }
  });
}

void throw_as_module_failure(py::error_already_set& failure) {
  if (!failure.matches(PyExc_Exception)) throw PythonInterruption{failure};
  const std::string text = text_of(failure);
  if (failure.matches(http_error_type())) {
    const py::object raised = failure.value();
    const py::object body = raised.attr("body");
    throw stoploss::HTTPError(
        text, {.status_code = raised.attr("status").cast<int>(),
               .body = py::isinstance<py::bytes>(body) ? body.cast<std::string>()
                                                       : py::str(body).cast<std::string>()});
  }
  if (failure.matches(PyExc_KeyError)) throw stoploss::KeyError(text);
  if (failure.matches(PyExc_TypeError)) throw stoploss::TypeError(text);
  if (failure.matches(PyExc_ValueError)) throw stoploss::ValueError(text);
  throw std::runtime_error(
      py::str(py::type::handle_of(failure.value()).attr("__name__")).cast<std::string>() + ": " +
      text);
}

}  // namespace stoploss_python
