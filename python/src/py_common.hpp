// What the binding files share: conversions between the engine's values and Python's, and the
// rule that views of a run (context, portfolio, accounts, positions) work only while it runs.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "korvex/config.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/environment.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/strategy.hpp"
#include "korvex/value.hpp"

namespace korvex_python {

namespace py = pybind11;

// The engine's times are exchange wall-clock times: naive datetimes, no time zone.
py::object to_py(korvex::DateTime dt);
py::object to_py(korvex::Date d);
py::object to_py(const korvex::Value& v);
py::dict to_py(const korvex::Record& record);
// A date from a datetime.date, a datetime.datetime (its day) or "YYYY-MM-DD"; TypeError else.
korvex::Date date_from_py(const py::handle& h);
korvex::DateTime datetime_from_py(const py::handle& h);
// A [table] of the configuration as a Python dict (through TOML, so every type survives).
py::dict table_to_py(const korvex::ConfigNode& table);

// The run whose strategy is being called. Views made during a run hold its number and refuse to
// work once it has ended, instead of reading an environment that no longer exists.
struct LiveRun {
    korvex::Environment* env = nullptr;
    korvex::StrategyContext* ctx = nullptr;
    std::uint64_t number = 0;
    // The thread of the strategy's call in progress, if any: the loop changes the run's objects
    // between calls, so they are read only from inside one.
    std::atomic<std::thread::id> hook_thread{};
};
const LiveRun& live_run();
void begin_run(korvex::StrategyContext& ctx);
void end_run();
// While alive, the current thread is inside a strategy's call.
class InHook {
public:
    InHook();
    ~InHook();
    InHook(const InHook&) = delete;
    InHook& operator=(const InHook&) = delete;

private:
    std::thread::id outer_;
};

// A handle on the run that made a view; checks it is still the live one.
class RunRef {
public:
    RunRef() : number_(live_run().number) {}
    korvex::Environment& env() const;
    korvex::StrategyContext& ctx() const;

private:
    std::uint64_t number_;
};

// Instruments are shared read-only; Python holds them through a mutable pointer.
using InstrumentHolder = std::shared_ptr<korvex::Instrument>;
inline InstrumentHolder hold(const korvex::InstrumentPtr& p) {
    return std::const_pointer_cast<korvex::Instrument>(p);
}

// Registration of each part of the module, in module.cpp's order.
void bind_errors(py::module_& m);
void bind_model(py::module_& m);
void bind_portfolio(py::module_& m);
void bind_context(py::module_& m);
void bind_run(py::module_& m);
void bind_data(py::module_& m);

}  // namespace korvex_python
