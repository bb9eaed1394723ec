#include "py_strategy.hpp"

#include <pybind11/stl.h>
#include <spdlog/sinks/base_sink.h>

#include <fmt/format.h>

#include <mutex>

#include "korvex/logger.hpp"
#include "py_bars.hpp"
#include "py_context.hpp"

namespace korvex_python {

namespace {

constexpr std::array<const char*, 7> HOOK_NAMES{"init",         "before_trading", "handle_bar",
                                                "handle_tick",  "after_trading",  "save_state",
                                                "restore_state"};

UserWarnings& warnings() {
    static UserWarnings w;
    return w;
}

// Counts the user log's warnings (refused, rejected, expired orders) and keeps the latest.
class WarningSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (msg.level != spdlog::level::warn || msg.logger_name != "user_system_log") return;
        UserWarnings& w = warnings();
        ++w.count;
        w.last.assign(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}
};

std::shared_ptr<WarningSink>& warning_sink() {
    static std::shared_ptr<WarningSink> sink;
    return sink;
}

// Kept with a reference of its own until korvex.run takes it (or the next run starts).
PyObject*& pending_exception() {
    static PyObject* e = nullptr;
    return e;
}

std::string traceback_text(const py::error_already_set& e) {
    py::object format = py::module_::import("traceback").attr("format_exception");
    py::list lines = format(e.type(), e.value(), e.trace());
    std::string text;
    for (auto& line : lines) text += line.cast<std::string>();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

const UserWarnings& user_warnings() {
    return warnings();
}

PyStrategy::PyStrategy(py::object target, py::dict settings)
    : target_(std::move(target)), settings_(std::move(settings)) {
    for (std::size_t i = 0; i < HOOKS; ++i)
        if (py::hasattr(target_, HOOK_NAMES[i])) {
            py::object hook = target_.attr(HOOK_NAMES[i]);
            if (!hook.is_none()) hooks_[i] = hook.release().ptr();
        }
}

PyStrategy::~PyStrategy() {
    if (!Py_IsInitialized()) {  // the interpreter is gone, and its objects with it
        target_.release();
        settings_.release();
        context_.release();
        return;
    }
    py::gil_scoped_acquire gil;
    for (PyObject*& h : hooks_) Py_CLEAR(h);
    if (context_) {
        end_run();
        context_ = py::object();
    }
    if (auto& sink = warning_sink()) {
        korvex::detach_from_both_logs(sink);
        sink.reset();
    }
    target_ = py::object();
    settings_.release().dec_ref();  // nothing left for the members' destructors, which run unlocked
}

void PyStrategy::init(korvex::StrategyContext& ctx) {
    {
        py::gil_scoped_acquire gil;
        begin_run(ctx);
        Py_CLEAR(pending_exception());
        ContextView view{RunRef(), settings_};
        context_ = py::cast(std::move(view));
        if (!warning_sink()) {
            warning_sink() = std::make_shared<WarningSink>();
            korvex::attach_to_both_logs(warning_sink());
        }
    }
    call(INIT, ctx);
}

void PyStrategy::before_trading(korvex::StrategyContext& ctx) {
    call(BEFORE_TRADING, ctx);
}

void PyStrategy::handle_bar(korvex::StrategyContext& ctx) {
    call(HANDLE_BAR, ctx);
}

void PyStrategy::handle_tick(korvex::StrategyContext& ctx, const korvex::TickObject& tick) {
    if (!hooks_[HANDLE_TICK]) return;
    py::gil_scoped_acquire gil;
    py::object t = py::cast(Tick{tick.order_book_id(), tick.record()});
    call(HANDLE_TICK, ctx, t.ptr());
}

void PyStrategy::after_trading(korvex::StrategyContext& ctx) {
    call(AFTER_TRADING, ctx);
}

korvex::State PyStrategy::save_state(korvex::StrategyContext& ctx) {
    if (!hooks_[SAVE_STATE]) return korvex::State();
    py::gil_scoped_acquire gil;
    py::object value = call_value(SAVE_STATE, ctx);
    try {
        py::object pickled = py::module_::import("pickle").attr("dumps")(value);
        return korvex::State{{"pickle", py::module_::import("base64")
                                            .attr("b64encode")(pickled)
                                            .attr("decode")("ascii")
                                            .cast<std::string>()}};
    } catch (py::error_already_set& e) {
        throw korvex::ValueError(fmt::format(
            "the strategy's save_state returned a value pickle cannot save: {}", e.what()));
    }
}

void PyStrategy::restore_state(korvex::StrategyContext& ctx, const korvex::State& state) {
    if (!hooks_[RESTORE_STATE]) return;
    if (!state.is_object() || !state.contains("pickle") || !state["pickle"].is_string())
        throw korvex::ValueError(
            "the saved state's strategy entry is not a Python strategy's (no 'pickle' text)");
    py::gil_scoped_acquire gil;
    py::object value;
    try {
        py::object bytes =
            py::module_::import("base64").attr("b64decode")(state["pickle"].get<std::string>());
        value = py::module_::import("pickle").attr("loads")(bytes);
    } catch (py::error_already_set& e) {
        throw korvex::ValueError(
            fmt::format("the saved state's strategy entry cannot be unpickled: {}", e.what()));
    }
    call_value(RESTORE_STATE, ctx, value.ptr());
}

void PyStrategy::call(Hook hook, korvex::StrategyContext& ctx, PyObject* arg) {
    if (!hooks_[hook]) return;
    py::gil_scoped_acquire gil;
    call_value(hook, ctx, arg);  // its result goes while the GIL is held
}

py::object PyStrategy::call_value(Hook hook, korvex::StrategyContext& ctx, PyObject* arg) {
    PyObject* fn = hooks_[hook];
    if (!fn) return py::none();
    InHook inside;
    PyObject* result = arg ? PyObject_CallFunctionObjArgs(fn, context_.ptr(), arg, nullptr)
                           : PyObject_CallOneArg(fn, context_.ptr());
    if (result) return py::reinterpret_steal<py::object>(result);
    py::error_already_set e;
    Py_XDECREF(pending_exception());
    // With its traceback on it: raised again later, it still points into the strategy.
    if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
    pending_exception() = e.value().inc_ref().ptr();
    // init runs before the clock starts: it has no trading date of its own.
    const std::string when = hook == INIT
                                 ? "before " + ctx.config().at("base.start_date").as_string()
                                 : "on " + korvex::format_date(korvex::to_date(ctx.now()));
    throw StrategyError(fmt::format("the strategy's {} raised {}", HOOK_NAMES[hook], when),
                        traceback_text(e));
}

std::unique_ptr<PyStrategy> strategy_of(const py::object& object, const py::dict& settings) {
    py::object target = py::module_::import("korvex._loader").attr("strategy_of")(object, settings);
    return std::make_unique<PyStrategy>(std::move(target), settings);
}

py::object take_strategy_exception() {
    PyObject* e = pending_exception();
    pending_exception() = nullptr;
    return e ? py::reinterpret_steal<py::object>(e) : py::none();
}

void install_python_loader() {
    korvex::set_python_strategy_loader(
        [](const std::string& target, const std::vector<std::string>& python_path,
           const korvex::ConfigNode& settings) -> std::unique_ptr<korvex::Strategy> {
            py::gil_scoped_acquire gil;
            try {
                py::dict s = table_to_py(settings);
                py::object found =
                    py::module_::import("korvex._loader").attr("load")(target, python_path, s);
                if (found.is_none()) return nullptr;
                return strategy_of(found, s);
            } catch (py::error_already_set& e) {
                throw korvex::ImportError(fmt::format("cannot load Python strategy '{}':\n{}",
                                                      target, traceback_text(e)));
            }
        });
}

}  // namespace korvex_python
