#include "scripted_components.hpp"

#include <map>
#include <memory>
#include <stdexcept>

#include "Core/Modules/stop_manager.hpp"
#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/GetDir.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/ModuleHandler.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "Core/utils/rounding.hpp"

namespace app::replay {
namespace {

using stoploss::RecordList;
using stoploss::Value;

// The collaborators' common ground: the script, and the two ways an unscripted call ends.
class Scripted {
 public:
  explicit Scripted(Script& script) : script_(script) {}

 protected:
  Value reply_or(std::string_view operation, Json args, Json kwargs, Value otherwise) {
    const Answer* answer = script_.answer(operation, std::move(args), std::move(kwargs));
    return answer ? answer->value : std::move(otherwise);
  }

  Value reply(std::string_view operation, Json args, Json kwargs = nullptr) {
    const Answer* answer = script_.answer(operation, std::move(args), std::move(kwargs));
    if (!answer) throw std::runtime_error("no answer scripted for " + std::string(operation));
    return answer->value;
  }

  Script& script_;
};

class ScriptedBitmex final : public stoploss::Bitmex_Wrapper, Scripted {
 public:
  using Scripted::Scripted;
  Value ReturnTicker(const std::string& pair) override {
    return reply("Bitmex_Wrapper.ReturnTicker", {pair});
  }
  Value instrument(const std::string& pair) override {
    return reply("Bitmex_Wrapper.instrument", {pair});
  }
  bool WS_Status() override {
    return stoploss::truthy(reply_or("Bitmex_Wrapper.WS_Status", Json::array(), nullptr, true));
  }
};

class ScriptedQuorCalls final : public stoploss::QuorCalls, Scripted {
 public:
  using Scripted::Scripted;
  Value toNearest(double price, double step) override {
    return reply_or("QuorCalls.toNearest", {price, step}, nullptr,
                    utils::nearest_multiple(price, step));
  }
  void CLEAN_Stops(const std::string& pair) override {
    reply_or("QuorCalls.CLEAN_Stops", {pair}, nullptr, nullptr);
  }
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    return reply("QuorCalls.open_orders", {pair}, Force ? Json{{"Force", *Force}} : Json());
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    Json kwargs = Json::object();
    if (options.clOrdLinkID) kwargs["clOrdLinkID"] = *options.clOrdLinkID;
    kwargs["Text"] = options.Text;
    return reply("QuorCalls.STOP_order", {pair, stopPx, orderQty}, std::move(kwargs));
  }
};

class ScriptedAmend final : public stoploss::Amend_bulk, Scripted {
 public:
  using Scripted::Scripted;
  void orders(const std::string& pair, const RecordList& to_amend) override {
    reply_or("Amend_bulk.orders", {pair, to_amend}, nullptr, nullptr);
  }
};

class ScriptedCancel final : public stoploss::Cancel_bulk, Scripted {
 public:
  using Scripted::Scripted;
  void orders(const std::string& pair, RecordList& to_cancel, bool Quiet) override {
    const Answer* answer =
        script_.answer("Cancel_bulk.orders", {pair, to_cancel}, {{"Quiet", Quiet}});
    if (answer && answer->remove) to_cancel.clear();
  }
};

class ScriptedRisk final : public stoploss::RiskManager, Scripted {
 public:
  using Scripted::Scripted;
  Value get_portfolio(const std::string& pair) override {
    return reply("RiskManager.get_portfolio", {pair});
  }
};

class ScriptedLog final : public stoploss::HouseLog, Scripted {
 public:
  using Scripted::Scripted;
  void info_log(const std::string& message, int level) override {
    reply_or("HouseLog.info_log", {message, level}, nullptr, nullptr);
  }
  void info_warn(const std::string& message, std::optional<int> level) override {
    reply_or("HouseLog.info_warn", level ? Json{message, *level} : Json{message}, nullptr, nullptr);
  }
  void info_critical(const std::string& message, int level) override {
    reply_or("HouseLog.info_critical", {message, level}, nullptr, nullptr);
  }
};

class RecordingRegistry final : public stoploss::ModuleHandler {
 public:
  explicit RecordingRegistry(Script& script) : script_(script) {}
  void Store(int slot, std::any object) override {
    const bool is_manager = std::any_cast<std::shared_ptr<Modules::StopLoss::Aux>>(&object);
    script_.record("ModuleHandler.Store", {slot, is_manager ? "<Aux>" : "<object>"});
    slots_[slot] = std::move(object);
  }
  std::any SERVE(int slot) override {
    script_.record("ModuleHandler.SERVE", {slot});
    const auto found = slots_.find(slot);
    return found == slots_.end() ? std::any() : found->second;
  }

 private:
  Script& script_;
  std::map<int, std::any> slots_;
};

class RecordingDir final : public stoploss::GetDir {
 public:
  RecordingDir(Script& script, std::string dir) : script_(script), dir_(std::move(dir)) {}
  std::string Dir() override {
    script_.record("GetDir.Dir", Json::array());
    return dir_;
  }

 private:
  Script& script_;
  std::string dir_;
};

class RecordingSleep final : public stoploss::Sleep {
 public:
  explicit RecordingSleep(Script& script) : script_(script) {}
  void sleep(double seconds) override { script_.record("sleep", {seconds}); }

 private:
  Script& script_;
};

}  // namespace

stoploss::ComponentTable scripted_components(Script& script, const std::string& install_dir) {
  return stoploss::component_table({.sleep = std::make_shared<RecordingSleep>(script),
                                    .get_dir = std::make_shared<RecordingDir>(script, install_dir),
                                    .bitmex = std::make_shared<ScriptedBitmex>(script),
                                    .house_log = std::make_shared<ScriptedLog>(script),
                                    .quor_calls = std::make_shared<ScriptedQuorCalls>(script),
                                    .module_handler = std::make_shared<RecordingRegistry>(script),
                                    .risk_manager = std::make_shared<ScriptedRisk>(script),
                                    .amend_bulk = std::make_shared<ScriptedAmend>(script),
                                    .cancel_bulk = std::make_shared<ScriptedCancel>(script)});
}

}  // namespace app::replay
