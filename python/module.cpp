// `import stoploss`: the stop-loss module for Python hosts. load(host) binds the collaborators
// from a mapping of names to objects, ARM(Aux([...])) registers the stop manager, and Call(...)
// sends a stop request with the keywords and defaults of the module's own call.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "Core/Modules/stop_loss.hpp"
#include "exchange_bindings.hpp"
#include "python_collaborators.hpp"
#include "python_failures.hpp"
#include "records.hpp"
#include "stoploss_version.hpp"

namespace py = pybind11;

namespace {

namespace StopLoss = Modules::StopLoss;

// A HouseLog over Python's logging, logger "stoploss": what rest_components() gives.
constexpr const char* kLogSource = R"python(
import logging as _logging
import re as _re

# The module's tags carry a terminal's colour codes: noise in a log record.
_ANSI = _re.compile(r"\x1b(\[[0-?]*[ -/]*[@-~]|.)")

class Log:
    """The module's log through Python's logging module, logger "stoploss"."""

    def __init__(self, logger=None):
        self.logger = logger or _logging.getLogger("stoploss")

    def info_log(self, message, level=1):
        self.logger.info(_ANSI.sub("", message))

    def info_warn(self, message, level=None):
        self.logger.warning(_ANSI.sub("", message))

    def info_critical(self, message, level=1):
        self.logger.critical(_ANSI.sub("", message))
)python";

// Binds what `host` maps the collaborator names to; the module names any that is missing.
py::list load(const py::object& host) {
  stoploss::ComponentTable table;
  for (const std::string& name : stoploss_python::collaborator_names()) {
    if (host.contains(name)) stoploss_python::add_collaborator(table, name, host[py::str(name)]);
  }
  StopLoss::load(table);
  return py::cast(table.search_list);
}

// True while alive.
class ScopedFlag {
 public:
  explicit ScopedFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~ScopedFlag() { flag_ = false; }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  bool& flag_;
};

// One request at a time, as the manager takes no lock; the GIL is let go first, so that a
// request waiting here never holds up a Python collaborator of the one under way.
std::optional<bool> call(const std::string& PAIR, const py::object& Price,
                         const std::optional<std::string>& CLID, bool Verification, bool REPLACE,
                         const py::object& Text, bool CleanStops) {
  const stoploss::Value price = stoploss_python::to_record(Price);
  const StopLoss::CallOptions options{
      .CLID = CLID,
      .Verification = Verification,
      .REPLACE = REPLACE,
      .Text = Text.is_none() ? std::nullopt
                             : std::optional<stoploss::Value>(stoploss_python::to_record(Text)),
      .CleanStops = CleanStops};
  static std::mutex one_at_a_time;
  // A collaborator that asks for a request while one runs on its thread would wait for itself.
  thread_local bool in_request = false;
  if (in_request) throw std::runtime_error("stoploss.Call from inside a stop request");
  try {
    const py::gil_scoped_release released;
    const std::scoped_lock serialised(one_at_a_time);
    const ScopedFlag running(in_request);
    return StopLoss::Call(PAIR, price, options);
  } catch (stoploss_python::PythonInterruption& interruption) {
    interruption.raised.restore();
    throw py::error_already_set();
  }
}

}  // namespace

PYBIND11_MODULE(stoploss, module) {
  module.doc() =
      "The stop-loss module: keeps one reduce-only stop order standing per pair on BitMEX.";
  module.attr("__version__") = std::string(stoploss::kVersion);
  stoploss_python::add_failures(module);
  stoploss_python::add_contract_types(module);
  py::exec(kLogSource, module.attr("__dict__"));

  py::class_<StopLoss::Aux, std::shared_ptr<StopLoss::Aux>>(
      module, "Aux", "The stop manager: the state kept between stop requests.")
      .def(py::init<std::vector<std::string>>(), py::arg("PairLIST"));

  module.def("load", &load, py::arg("host"),
             "Binds the collaborators the host maps by name (sleep, GetDir, Bitmex_Wrapper, "
             "HouseLog, QuorCalls, ModuleHandler, RiskManager, Amend_bulk, Cancel_bulk); raises "
             "ImportError naming a missing one. Returns the host's component search list.");
  module.def("ARM", &StopLoss::ARM, py::arg("INITsend"),
             "Registers the stop manager in the host registry.");
  module.def("Call", &call, py::arg("PAIR"), py::arg("Price"), py::arg("CLID") = py::none(),
             py::arg("Verification") = false, py::arg("REPLACE") = false,
             py::arg("Text") = py::none(), py::arg("CleanStops") = false,
             "Makes sure one reduce-only stop for PAIR stands at Price: True when it stands, "
             "False for a failure reported in the log, None when it was not seen in time.");
  module.def(
      "record",
      [](const py::handle& object) {
        return stoploss_python::to_python(stoploss_python::to_record(object));
      },
      py::arg("object"),
      "The object as the module receives it from a collaborator: a copy, or ValueError / "
      "TypeError for what cannot cross (integers beyond 64 bits, non-text keys, other types).");
  stoploss_python::add_exchange_bindings(module);
}
