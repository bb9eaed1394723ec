#include "py_common.hpp"  // Python.h first: datetime.h builds on it

#include <datetime.h>
#include <fmt/format.h>

#include <chrono>

#include "korvex/errors.hpp"

namespace korvex_python {

namespace {

void import_datetime() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
}

LiveRun& the_live_run() {
    static LiveRun run;
    return run;
}

}  // namespace

py::object to_py(korvex::DateTime dt) {
    import_datetime();
    const auto day = std::chrono::floor<std::chrono::days>(dt);
    const std::chrono::year_month_day ymd(day);
    const std::chrono::hh_mm_ss hms(dt - day);
    PyObject* o = PyDateTime_FromDateAndTime(
        static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
        static_cast<int>(static_cast<unsigned>(ymd.day())), static_cast<int>(hms.hours().count()),
        static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()), 0);
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object to_py(korvex::Date d) {
    import_datetime();
    const std::chrono::year_month_day ymd(d);
    PyObject* o = PyDate_FromDate(static_cast<int>(ymd.year()),
                                  static_cast<int>(static_cast<unsigned>(ymd.month())),
                                  static_cast<int>(static_cast<unsigned>(ymd.day())));
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object to_py(const korvex::Value& v) {
    return std::visit(
        [](const auto& x) -> py::object {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return py::none();
            else if constexpr (std::is_same_v<T, korvex::DateTime>)
                return to_py(x);
            else
                return py::cast(x);
        },
        v.storage());
}

py::dict to_py(const korvex::Record& record) {
    py::dict d;
    for (const auto& [name, value] : record) d[py::str(name)] = to_py(value);
    return d;
}

korvex::Date date_from_py(const py::handle& h) {
    import_datetime();
    if (PyDate_Check(h.ptr()))  // a datetime is a date too
        return korvex::Date(std::chrono::year_month_day(
            std::chrono::year(PyDateTime_GET_YEAR(h.ptr())),
            std::chrono::month(static_cast<unsigned>(PyDateTime_GET_MONTH(h.ptr()))),
            std::chrono::day(static_cast<unsigned>(PyDateTime_GET_DAY(h.ptr())))));
    if (py::isinstance<py::str>(h)) return korvex::parse_date(h.cast<std::string>());
    throw korvex::TypeError(fmt::format("a date must be a datetime.date or 'YYYY-MM-DD', not {}",
                                        std::string(py::str(h.get_type().attr("__name__")))));
}

korvex::DateTime datetime_from_py(const py::handle& h) {
    import_datetime();
    korvex::DateTime dt(date_from_py(h));
    if (PyDateTime_Check(h.ptr()))
        dt += std::chrono::hours(PyDateTime_DATE_GET_HOUR(h.ptr())) +
              std::chrono::minutes(PyDateTime_DATE_GET_MINUTE(h.ptr())) +
              std::chrono::seconds(PyDateTime_DATE_GET_SECOND(h.ptr()));
    return dt;
}

py::dict table_to_py(const korvex::ConfigNode& table) {
    static py::handle loads = py::object(py::module_::import("tomllib").attr("loads")).release();
    return loads(table.to_toml());
}

const LiveRun& live_run() {
    return the_live_run();
}

void begin_run(korvex::StrategyContext& ctx) {
    LiveRun& run = the_live_run();
    run.env = &ctx.env();
    run.ctx = &ctx;
    ++run.number;
}

void end_run() {
    LiveRun& run = the_live_run();
    run.env = nullptr;
    run.ctx = nullptr;
}

korvex::Environment& RunRef::env() const {
    return ctx().env();
}

InHook::InHook() : outer_(the_live_run().hook_thread.load()) {
    the_live_run().hook_thread = std::this_thread::get_id();
}

InHook::~InHook() {
    the_live_run().hook_thread = outer_;
}

korvex::StrategyContext& RunRef::ctx() const {
    const LiveRun& run = live_run();
    if (!run.ctx || run.number != number_)
        throw korvex::RuntimeError(
            "this object belongs to a run that has ended: keep figures, not the run's objects");
    if (run.hook_thread.load() != std::this_thread::get_id())
        throw korvex::RuntimeError(
            "the run's objects can be read only inside the strategy's own calls, on the run's "
            "thread: the run changes them in between; copy the figures you need there");
    return *run.ctx;
}

}  // namespace korvex_python
