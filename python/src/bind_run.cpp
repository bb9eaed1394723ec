// Whole runs from Python: korvex.run's engine half. The run itself goes on without the GIL;
// the strategy's hooks take it when called.
#include <pybind11/stl.h>

#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "korvex/runner.hpp"
#include "py_strategy.hpp"
#include "tavlen/bond.hpp"

namespace korvex_python {

namespace {

// Ctrl-C while the loop runs without the interpreter.
struct Interrupted : korvex::RuntimeError {
    using korvex::RuntimeError::RuntimeError;
};

// Python sees a signal only where Python runs: each day's end asks, so that Ctrl-C stops a run
// of any strategy within a day. The KeyboardInterrupt waits in `pending` for the caller.
struct SignalCheck : korvex::RunObserver {
    py::object pending;
    void on_day_end(korvex::Environment&, const korvex::DailyRecord& day) override {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return;
        py::error_already_set raised;
        pending = raised.value();
        throw Interrupted(fmt::format("interrupted after {}", korvex::format_date(day.date)));
    }
};

}  // namespace

void bind_run(py::module_& m) {
    // The engine's half of korvex.run: the configuration (a file, then TOML text over it), an
    // optional strategy object, the folder the results go to (None: the configuration's). Returns
    // where the results are and the orders' warnings by reason.
    m.def(
        "_run",
        [](std::optional<std::string> file, std::optional<std::string> table, py::object strategy,
           std::optional<std::string> output_dir, bool quiet) {
            korvex::Config config;
            if (file) config.merge_file(*file);
            if (table) config.merge_string(*table, "korvex.run's configuration");
            if (output_dir) config.set("base.output_dir", korvex::Value(*output_dir));
            if (quiet) {  // a notebook wants the results, not the engine's info lines
                config.set("log.level", korvex::Value("warning"));
                config.set("log.progress", korvex::Value(false));
            }
            tavlen::init(korvex::market_database_path(config));
            korvex::Runner runner(config);
            if (!strategy.is_none())
                runner.set_strategy(strategy_of(strategy, table_to_py(config.at("strategy"))));
            SignalCheck signals;
            runner.add_observer(&signals);
            korvex::RunResult result;
            try {
                py::gil_scoped_release unlocked;
                result = runner.run();
            } catch (const Interrupted&) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(signals.pending.ptr())),
                                signals.pending.ptr());
                throw py::error_already_set();
            } catch (const StrategyError& e) {
                // The strategy's own exception, with its traceback, told where the run stood.
                py::object raised = take_strategy_exception();
                if (raised.is_none()) throw;
                if (py::hasattr(raised, "add_note"))
                    raised.attr("add_note")(fmt::format("korvex: {}; the run stopped", e.where()));
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
                throw py::error_already_set();
            }
            py::dict out;
            out["output_dir"] = result.output_dir.string();
            py::list warnings;
            for (auto& [reason, count] : result.order_warnings)
                warnings.append(py::make_tuple(reason, count));
            out["order_warnings"] = warnings;
            return out;
        },
        py::arg("file"), py::arg("table"), py::arg("strategy"), py::arg("output_dir"),
        py::arg("quiet"));
}

}  // namespace korvex_python
