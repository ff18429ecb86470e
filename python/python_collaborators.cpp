#include "python_collaborators.hpp"

#include <any>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Core/Modules/stop_manager.hpp"
#include "Core/collaborators/failures.hpp"
#include "python_failures.hpp"
#include "records.hpp"

namespace py = pybind11;

namespace stoploss_python {
namespace {

using stoploss::RecordList;
using stoploss::Value;
using Manager = std::shared_ptr<Modules::StopLoss::Aux>;

// A Python object that C++ code may let go without the GIL, or after Python has ended.
class PythonObject {
 public:
  explicit PythonObject(py::object object) : object_(std::move(object)) {}
  ~PythonObject() {
    if (!Py_IsInitialized()) {
      object_.release();  // the interpreter has ended, and every object with it
      return;
    }
    const py::gil_scoped_acquire gil;
    object_ = py::object();
  }
  PythonObject(const PythonObject&) = delete;
  PythonObject& operator=(const PythonObject&) = delete;

  // Runs `use` on the object with the GIL held; what Python raises becomes the module's kind.
  template <class Use>
  auto with(Use use) const {
    const py::gil_scoped_acquire gil;
    try {
      return use(object_);
    } catch (py::error_already_set& failure) {
      throw_as_module_failure(failure);
    }
  }

  // The record `method` returns for `args`.
  template <class... Args>
  Value record(const char* method, const Args&... args) const {
    return with([&](const py::object& self) { return to_record(self.attr(method)(args...)); });
  }
  template <class... Args>
  void call(const char* method, const Args&... args) const {
    with([&](const py::object& self) { self.attr(method)(args...); });
  }

 private:
  py::object object_;
};

class PythonBitmex final : public stoploss::Bitmex_Wrapper {
 public:
  explicit PythonBitmex(py::object self) : self_(std::move(self)) {}
  Value ReturnTicker(const std::string& pair) override {
    return self_.record("ReturnTicker", pair);
  }
  Value instrument(const std::string& pair) override { return self_.record("instrument", pair); }
  // A value read for its truth; a method is called for it.
  bool WS_Status() override {
    return self_.with([](const py::object& self) {
      py::object status = self.attr("WS_Status");
      if (PyCallable_Check(status.ptr())) status = status();
      return py::bool_(status).cast<bool>();
    });
  }

 private:
  PythonObject self_;
};

class PythonQuorCalls final : public stoploss::QuorCalls {
 public:
  explicit PythonQuorCalls(py::object self) : self_(std::move(self)) {}
  Value toNearest(double price, double step) override {
    return self_.record("toNearest", price, step);
  }
  void CLEAN_Stops(const std::string& pair) override { self_.call("CLEAN_Stops", pair); }
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    if (!Force) return self_.record("open_orders", pair);
    return self_.with([&](const py::object& self) {
      return to_record(self.attr("open_orders")(pair, py::arg("Force") = *Force));
    });
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    return self_.with([&](const py::object& self) {
      py::dict keywords;
      if (options.clOrdLinkID) keywords["clOrdLinkID"] = *options.clOrdLinkID;
      keywords["Text"] = options.Text;
      return to_record(self.attr("STOP_order")(pair, to_python(stopPx), orderQty, **keywords));
    });
  }

 private:
  PythonObject self_;
};

class PythonAmendBulk final : public stoploss::Amend_bulk {
 public:
  explicit PythonAmendBulk(py::object self) : self_(std::move(self)) {}
  void orders(const std::string& pair, const RecordList& to_amend) override {
    self_.with(
        [&](const py::object& self) { self.attr("orders")(pair, to_python(Value(to_amend))); });
  }

 private:
  PythonObject self_;
};

// The list handed over is read back afterwards, failure or not: a collaborator may remove the
// entries it cancelled.
class PythonCancelBulk final : public stoploss::Cancel_bulk {
 public:
  explicit PythonCancelBulk(py::object self) : self_(std::move(self)) {}
  void orders(const std::string& pair, RecordList& to_cancel, bool Quiet) override {
    self_.with([&](const py::object& self) {
      const py::object listed = to_python(Value(to_cancel));
      const auto read_back = [&] { to_cancel = to_record(listed).get<RecordList>(); };
      try {
        self.attr("orders")(pair, listed, py::arg("Quiet") = Quiet);
      } catch (py::error_already_set&) {
        read_back();
        throw;
      }
      read_back();
    });
  }

 private:
  PythonObject self_;
};

class PythonRiskManager final : public stoploss::RiskManager {
 public:
  explicit PythonRiskManager(py::object self) : self_(std::move(self)) {}
  Value get_portfolio(const std::string& pair) override {
    return self_.record("get_portfolio", pair);
  }

 private:
  PythonObject self_;
};

class PythonHouseLog final : public stoploss::HouseLog {
 public:
  explicit PythonHouseLog(py::object self) : self_(std::move(self)) {}
  void info_log(const std::string& message, int level) override {
    self_.call("info_log", message, level);
  }
  void info_warn(const std::string& message, std::optional<int> level) override {
    if (level) {
      self_.call("info_warn", message, *level);
    } else {
      self_.call("info_warn", message);
    }
  }
  void info_critical(const std::string& message, int level) override {
    self_.call("info_critical", message, level);
  }

 private:
  PythonObject self_;
};

// Holds the stop manager as the Python object of it; anything else it serves is no manager.
class PythonModuleHandler final : public stoploss::ModuleHandler {
 public:
  explicit PythonModuleHandler(py::object self) : self_(std::move(self)) {}
  void Store(int slot, std::any object) override {
    const Manager* manager = std::any_cast<Manager>(&object);
    if (!manager) throw stoploss::TypeError("only the stop manager crosses into a Python registry");
    self_.with([&](const py::object& self) { self.attr("Store")(slot, py::cast(*manager)); });
  }
  std::any SERVE(int slot) override {
    return self_.with([&](const py::object& self) -> std::any {
      const py::object served = self.attr("SERVE")(slot);
      if (served.is_none()) return {};
      if (py::isinstance<Modules::StopLoss::Aux>(served)) return served.cast<Manager>();
      return py::str(py::type::handle_of(served).attr("__name__")).cast<std::string>();
    });
  }

 private:
  PythonObject self_;
};

class PythonGetDir final : public stoploss::GetDir {
 public:
  explicit PythonGetDir(py::object self) : self_(std::move(self)) {}
  std::string Dir() override {
    return self_.with(
        [](const py::object& self) { return py::str(self.attr("Dir")()).cast<std::string>(); });
  }

 private:
  PythonObject self_;
};

// An object with a `sleep` method, or a callable such as time.sleep.
class PythonSleep final : public stoploss::Sleep {
 public:
  explicit PythonSleep(py::object self) : self_(std::move(self)) {}
  void sleep(double seconds) override {
    self_.with([&](const py::object& self) {
      if (py::hasattr(self, "sleep")) {
        self.attr("sleep")(seconds);
      } else {
        self(seconds);
      }
    });
  }

 private:
  PythonObject self_;
};

template <class Contract, class Collaborator>
void add(stoploss::ComponentTable& table, const std::string& name, py::object object) {
  if (py::isinstance<Contract>(object)) {
    table.add<Contract>(name, object.cast<std::shared_ptr<Contract>>());
  } else {
    table.add<Contract>(name, std::make_shared<Collaborator>(std::move(object)));
  }
}

template <class Contract>
void add_type(py::module_& module, const char* type_name) {
  py::class_<Contract, std::shared_ptr<Contract>>(
      module, type_name, "A ready-made collaborator, to place in the mapping given to load().");
}

template <class Contract>
py::object ready(const stoploss::ComponentTable& table, const std::string& name,
                 const std::shared_ptr<const void>& owner) {
  const auto found = table.find<Contract>(name);
  return found ? py::cast(std::shared_ptr<Contract>(owner, found.get())) : py::none();
}

// A collaborator the module binds: its name, its Python type's name, and how it crosses.
struct Binding {
  const char* name;
  const char* type_name;
  void (*add_type)(py::module_&, const char*);
  void (*add)(stoploss::ComponentTable&, const std::string&, py::object);
  py::object (*ready)(const stoploss::ComponentTable&, const std::string&,
                      const std::shared_ptr<const void>&);
};

template <class Contract, class Collaborator>
constexpr Binding binding(const char* name, const char* type_name) {
  return {name, type_name, &add_type<Contract>, &add<Contract, Collaborator>, &ready<Contract>};
}

constexpr std::array kBindings = {
    binding<stoploss::Sleep, PythonSleep>("sleep", "Sleep"),
    binding<stoploss::GetDir, PythonGetDir>("GetDir", "GetDir"),
    binding<stoploss::Bitmex_Wrapper, PythonBitmex>("Bitmex_Wrapper", "Bitmex_Wrapper"),
    binding<stoploss::HouseLog, PythonHouseLog>("HouseLog", "HouseLog"),
    binding<stoploss::QuorCalls, PythonQuorCalls>("QuorCalls", "QuorCalls"),
    binding<stoploss::ModuleHandler, PythonModuleHandler>("ModuleHandler", "ModuleHandler"),
    binding<stoploss::RiskManager, PythonRiskManager>("RiskManager", "RiskManager"),
    binding<stoploss::Amend_bulk, PythonAmendBulk>("Amend_bulk", "Amend_bulk"),
    binding<stoploss::Cancel_bulk, PythonCancelBulk>("Cancel_bulk", "Cancel_bulk"),
};

}  // namespace

void add_contract_types(py::module_& module) {
  for (const Binding& each : kBindings) each.add_type(module, each.type_name);
}

void add_collaborator(stoploss::ComponentTable& table, const std::string& name, py::object object) {
  for (const Binding& each : kBindings) {
    if (name == each.name) return each.add(table, name, std::move(object));
  }
  throw std::invalid_argument("the module binds no collaborator named " + name);
}

std::vector<std::string> collaborator_names() {
  std::vector<std::string> names;
  for (const Binding& each : kBindings) names.emplace_back(each.name);
  return names;
}

py::dict ready_collaborators(const stoploss::ComponentTable& table,
                             const std::shared_ptr<const void>& owner) {
  py::dict ready;
  for (const Binding& each : kBindings) {
    py::object component = each.ready(table, each.name, owner);
    if (!component.is_none()) ready[each.name] = std::move(component);
  }
  return ready;
}

}  // namespace stoploss_python
