#pragma once

#include <pybind11/pybind11.h>

namespace stoploss_python {

// Defines stoploss.HTTPError(status, body, text=None) and has every failure of the module reach
// Python as its kind: KeyError, TypeError, ValueError, ImportError, stoploss.HTTPError, and
// RuntimeError for any other failure.
void add_failures(pybind11::module_& module);

// A Python interruption (KeyboardInterrupt, SystemExit) raised in a collaborator: not a failure
// the module handles, so it passes through the module to the caller unchanged.
struct PythonInterruption {
  pybind11::error_already_set raised;
};

// A Python failure raised by a collaborator, as the module's own kind of it: KeyError,
// TypeError, ValueError, stoploss.HTTPError (status and body kept), or any other failure with
// its type's name and text; an interruption as PythonInterruption. With the GIL held.
[[noreturn]] void throw_as_module_failure(pybind11::error_already_set& failure);

}  // namespace stoploss_python
