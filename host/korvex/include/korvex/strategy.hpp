// Strategies: the interface a user implements, the context they see, and the ways the host
// finds one (built in by name, or a shared library exporting korvex_create_strategy).
#pragma once

#include <any>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvex/environment.hpp"
#include "korvex/tick.hpp"

namespace korvex {

class StrategyContext {
public:
    explicit StrategyContext(Environment& env) : env_(env) {}

    Environment& env() const { return env_; }
    Portfolio& portfolio() const { return env_.portfolio(); }
    DataProxy& data_proxy() const { return env_.data_proxy(); }
    const ConfigNode config() const { return env_.config().root(); }
    DateTime now() const { return env_.calendar_dt; }
    Account& stock_account() const { return portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK); }

    // Market data known at now() (see DataProxy): views of the stores' arrays, no copy.
    Bars day_bars(const std::string& order_book_id) const {
        return data_proxy().day_bars(order_book_id);
    }
    Bars minute_bars(const std::string& order_book_id) const {
        return data_proxy().minute_bars(order_book_id);
    }
    Bars ticks(const std::string& order_book_id, Date trading_date) const {
        return data_proxy().ticks(order_book_id, trading_date);
    }
    // The last `count` bars of the id at "1d" or "1m".
    Bars history_bars(const std::string& order_book_id, std::size_t count,
                      const std::string& frequency = "1d") const {
        return data_proxy().history_bars(order_book_id, count, frequency);
    }

    // Submits an order through validators and broker; null when refused (the reason is on
    // user_system_log).
    OrderPtr submit_order(const std::string& order_book_id, double quantity, SIDE side,
                          POSITION_EFFECT effect, std::optional<double> price = std::nullopt,
                          Record extra = {});
    // Buy (positive) or sell (negative) a number of units.
    OrderPtr order_shares(const std::string& order_book_id, double amount,
                          std::optional<double> price = std::nullopt);

    // Tick runs feed the snapshots of the instruments subscribed when the day's session opens
    // (after before_trading); a change during the session counts from the next day. KeyError
    // for an unknown id.
    void subscribe(const std::string& order_book_id);
    void unsubscribe(const std::string& order_book_id);
    const std::vector<std::string>& subscribed() const { return subscribed_; }

    // Named-property extension point (for example a mod's "bond_account").
    using PropertyGetter = std::function<std::any(const StrategyContext&)>;
    static void install_property(const std::string& name, PropertyGetter getter);
    static bool has_property(const std::string& name);
    std::any property(const std::string& name) const;  // AttributeError when not installed

    // Free-form variables a strategy keeps between calls.
    std::map<std::string, Value> vars;

private:
    Environment& env_;
    std::vector<std::string> subscribed_;
};

class Strategy {
public:
    virtual ~Strategy() = default;
    virtual void init(StrategyContext&) {}
    virtual void before_trading(StrategyContext&) {}
    virtual void handle_bar(StrategyContext&) {}
    // Tick runs call this instead of handle_bar, once per snapshot of a subscribed instrument.
    virtual void handle_tick(StrategyContext&, const TickObject&) {}
    virtual void after_trading(StrategyContext&) {}
    // Its own state in a saved state (base.save_state_to), so that a resumed run goes on as the
    // uninterrupted one would; null: it keeps none, and a resumed run says it starts afresh.
    // restore_state gets it back after init on resume.
    virtual State save_state(StrategyContext&) { return State(); }
    virtual void restore_state(StrategyContext&, const State&) {}
};

using StrategyFactory = std::function<std::unique_ptr<Strategy>(const ConfigNode& config)>;

// Built-in strategies by name; mods may add theirs when loaded.
void register_strategy(const std::string& name, std::string description, StrategyFactory factory);
std::vector<std::pair<std::string, std::string>> list_strategies();
// A registered name, or a path to a shared library. ImportError / KeyError naming what failed.
std::unique_ptr<Strategy> load_strategy(const std::string& name_or_path, const ConfigNode& config);
// What turns a Python file or module into a strategy: null when no such module exists; raises
// with the Python traceback when loading it fails. The `korvex` Python module installs it when
// imported; a program without Python gets it by loading the host's Python library.
using PythonStrategyLoader = std::unique_ptr<Strategy> (*)(
    const std::string& target, const std::vector<std::string>& python_path,
    const ConfigNode& settings);
void set_python_strategy_loader(PythonStrategyLoader loader);

// The strategy a run's configuration names in base.strategy, with its [strategy] settings: a
// registered name, a shared library, a Python file ("x.py") or a Python module found on
// base.python_path or PYTHONPATH. Without an installed loader, Python strategies start the host's
// Python library (libkorvex_python.so on the mod search path `mod_path`).
std::unique_ptr<Strategy> load_configured_strategy(
    const Config& config, const std::vector<std::filesystem::path>& mod_path);

}  // namespace korvex

// A strategy library exports this (with the ABI version of mod_loader.hpp).
extern "C" {
typedef korvex::Strategy* (*korvex_create_strategy_fn)();
// The host's Python library exports this: starts the interpreter if none runs yet and imports
// the `korvex` module, which installs the Python strategy loader.
typedef void (*korvex_python_start_fn)();
}
