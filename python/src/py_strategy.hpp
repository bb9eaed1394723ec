// A strategy written in Python, run by the engine's loop. The loop holds the GIL only while it
// calls a hook; hooks the strategy does not define cost nothing.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "korvex/errors.hpp"
#include "korvex/strategy.hpp"
#include "py_common.hpp"

namespace korvex_python {

// A hook raised: the message is where ("the strategy's handle_bar raised on 2019-01-04") and
// the Python traceback.
class StrategyError : public korvex::Error {
public:
    StrategyError(std::string where, const std::string& traceback)
        : korvex::Error(where + ":\n" + traceback), where_(std::move(where)) {}
    const std::string& where() const { return where_; }

private:
    std::string where_;
};

class PyStrategy : public korvex::Strategy {
public:
    // `target` holds the hooks as attributes (a module, or an instance of the strategy's class);
    // `settings` is the [strategy] table, offered again as context.settings.
    PyStrategy(py::object target, py::dict settings);
    ~PyStrategy() override;

    void init(korvex::StrategyContext& ctx) override;
    void before_trading(korvex::StrategyContext& ctx) override;
    void handle_bar(korvex::StrategyContext& ctx) override;
    void handle_tick(korvex::StrategyContext& ctx, const korvex::TickObject& tick) override;
    void after_trading(korvex::StrategyContext& ctx) override;
    // save_state(context) returns any value pickle can save; restore_state(context, value)
    // gets it back on resume.
    korvex::State save_state(korvex::StrategyContext& ctx) override;
    void restore_state(korvex::StrategyContext& ctx, const korvex::State& state) override;

private:
    enum Hook {
        INIT,
        BEFORE_TRADING,
        HANDLE_BAR,
        HANDLE_TICK,
        AFTER_TRADING,
        SAVE_STATE,
        RESTORE_STATE,
        HOOKS
    };
    // Calls the hook with the context (and `arg`, when given).
    void call(Hook hook, korvex::StrategyContext& ctx, PyObject* arg = nullptr);
    // The same for its result; the caller holds the GIL.
    pybind11::object call_value(Hook hook, korvex::StrategyContext& ctx, PyObject* arg = nullptr);

    py::object target_;
    py::dict settings_;
    std::array<PyObject*, HOOKS> hooks_{};  // owned references, null when not defined
    py::object context_;
};

// The strategy a Python object stands for: a module with hook functions or one strategy class,
// a class (instantiated with the settings when it takes them), or an instance.
std::unique_ptr<PyStrategy> strategy_of(const py::object& object, const py::dict& settings);

// The Python exception the last failed hook raised (None when none), taken once.
py::object take_strategy_exception();

// Installs the loader of .py files and modules for runs that name one in base.strategy.
void install_python_loader();

}  // namespace korvex_python
