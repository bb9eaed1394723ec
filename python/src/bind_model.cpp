// Enumerations, instruments, orders, trades, bars and quote snapshots.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fmt/format.h>

#include <unordered_map>

#include "korvex/bars.hpp"
#include "korvex/const.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/model/order.hpp"
#include "korvex/model/trade.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_mod_bond/validator.hpp"
#include "py_bars.hpp"
#include "py_common.hpp"

namespace korvex_python {

namespace {

template <class E>
void bind_enum(py::module_& m, const char* name) {
    py::enum_<E> e(m, name);
    for (E v : korvex::enum_values<E>()) e.value(std::string(korvex::name(v)).c_str(), v);
}

// A field of the record when the class has no attribute of that name.
template <class T>
py::object record_attr(const T& object, const std::string& name, const char* what) {
    if (!object.has_attr(name))
        throw py::attribute_error(fmt::format("{} has no attribute '{}'", what, name));
    return to_py(object.attr(name));
}

// numpy dtypes by record layout, built once each.
py::object dtype_of(const korvex::RecordLayout& layout) {
    struct Cached {
        korvex::RecordLayout layout;
        py::handle dtype;  // kept for the process's lifetime
    };
    static std::unordered_map<const korvex::RecordLayout*, Cached> cache;
    auto it = cache.find(&layout);
    if (it != cache.end() && it->second.layout == layout)
        return py::reinterpret_borrow<py::object>(it->second.dtype);
    py::list names, formats, offsets;
    for (const auto& f : layout.fields()) {
        names.append(f.name);
        formats.append(f.type);
        offsets.append(f.offset);
    }
    py::dict spec;
    spec["names"] = names;
    spec["formats"] = formats;
    spec["offsets"] = offsets;
    spec["itemsize"] = layout.itemsize();
    py::object dtype = py::module_::import("numpy").attr("dtype")(spec);
    cache.insert_or_assign(&layout, Cached{layout, dtype.inc_ref()});
    return dtype;
}

}  // namespace

py::array bars_to_numpy(const korvex::Bars& bars) {
    static const korvex::RecordLayout no_fields{{"datetime", "<i8"}};
    const korvex::RecordLayout& layout = bars.layout() ? *bars.layout() : no_fields;
    static const std::byte nothing[8]{};
    // The array reads the engine's own records; the capsule keeps them alive as long as it.
    auto* keep = new korvex::Bars(bars);
    py::capsule owner(keep, [](void* p) { delete static_cast<korvex::Bars*>(p); });
    const void* data = bars.empty() ? static_cast<const void*>(nothing) : bars.record(0);
    py::array a(py::dtype::from_args(dtype_of(layout)), {static_cast<py::ssize_t>(bars.size())},
                {static_cast<py::ssize_t>(layout.itemsize())}, data, owner);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
}

void bind_model(py::module_& m) {
    using namespace korvex;
    bind_enum<INSTRUMENT_TYPE>(m, "INSTRUMENT_TYPE");
    bind_enum<SIDE>(m, "SIDE");
    bind_enum<POSITION_DIRECTION>(m, "POSITION_DIRECTION");
    bind_enum<POSITION_EFFECT>(m, "POSITION_EFFECT");
    bind_enum<DEFAULT_ACCOUNT_TYPE>(m, "DEFAULT_ACCOUNT_TYPE");
    bind_enum<TRADING_CALENDAR_TYPE>(m, "TRADING_CALENDAR_TYPE");
    bind_enum<ORDER_STATUS>(m, "ORDER_STATUS");
    bind_enum<ORDER_TYPE>(m, "ORDER_TYPE");

    m.def(
        "min_repo_value", &korvex_mod_bond::min_repo_value, py::arg("exchange"),
        "Smallest nominal amount of an exchange repo order on the exchange (XSHG, XSHE), or None.");
    m.def("_set_user_log_on_console", &korvex::set_user_log_on_console);

    py::class_<Instrument, InstrumentHolder>(m, "Instrument")
        .def_property_readonly("order_book_id", &Instrument::order_book_id)
        .def_property_readonly("symbol", &Instrument::symbol)
        .def_property_readonly("type", &Instrument::type)
        .def_property_readonly("exchange", &Instrument::exchange)
        .def_property_readonly("round_lot", &Instrument::round_lot)
        .def_property_readonly("account_type", &Instrument::account_type)
        .def_property_readonly("listed_date",
                               [](const Instrument& i) { return to_py(i.listed_date()); })
        .def_property_readonly("de_listed_date",
                               [](const Instrument& i) { return to_py(i.de_listed_date()); })
        .def(
            "listed_at",
            [](const Instrument& i, const py::handle& dt) {
                return i.listed_at(datetime_from_py(dt));
            },
            py::arg("dt"), "Whether the instrument is listed at `dt` (a date or datetime).")
        .def(
            "de_listed_at",
            [](const Instrument& i, const py::handle& dt) {
                return i.de_listed_at(datetime_from_py(dt));
            },
            py::arg("dt"), "Whether the instrument has left the market by `dt`.")
        .def_property_readonly("record", [](const Instrument& i) { return to_py(i.record()); })
        .def("__getattr__",
             [](const Instrument& i, const std::string& name) {
                 return record_attr(i, name, "instrument");
             })
        .def("__repr__", [](const Instrument& i) {
            return fmt::format("<{} {}>", korvex::type_name(i), i.order_book_id());
        });
    py::class_<korvex_mod_bond::BondInstrument, Instrument,
               std::shared_ptr<korvex_mod_bond::BondInstrument>>(m, "BondInstrument")
        .def_property_readonly("issue_price", &korvex_mod_bond::BondInstrument::issue_price)
        .def_property_readonly("initial_issue_size", [](const korvex_mod_bond::BondInstrument& b) {
            return to_py(b.initial_issue_size());
        });
    py::class_<korvex_mod_bond::RepoInstrument, Instrument,
               std::shared_ptr<korvex_mod_bond::RepoInstrument>>(m, "RepoInstrument")
        .def_property_readonly("repo_period", &korvex_mod_bond::RepoInstrument::repo_period);

    py::class_<Order, OrderPtr>(m, "Order")
        .def_property_readonly("order_id", &Order::order_id)
        .def_property_readonly("order_book_id", &Order::order_book_id)
        .def_property_readonly("quantity", &Order::quantity)
        .def_property_readonly("filled_quantity", &Order::filled_quantity)
        .def_property_readonly("unfilled_quantity", &Order::unfilled_quantity)
        .def_property_readonly("side", &Order::side)
        .def_property_readonly("position_effect", &Order::position_effect)
        .def_property_readonly("position_direction", &Order::position_direction)
        .def_property_readonly("type", &Order::type)
        .def_property_readonly("price", &Order::price)
        .def_property_readonly("frozen_price", &Order::frozen_price)
        .def_property_readonly("avg_price", &Order::avg_price)
        .def_property_readonly("transaction_cost", &Order::transaction_cost)
        .def_property_readonly("estimated_transaction_cost", &Order::estimated_transaction_cost)
        .def_property_readonly("status", &Order::status)
        .def_property_readonly("message", &Order::message)
        .def_property_readonly("datetime", [](const Order& o) { return to_py(o.datetime()); })
        .def_property_readonly("is_active", &Order::is_active)
        .def_property_readonly("is_final", &Order::is_final)
        .def_property_readonly("extra", [](const Order& o) { return to_py(o.extra()); })
        .def("__getattr__",
             [](const Order& o, const std::string& name) { return record_attr(o, name, "order"); })
        .def("__repr__", [](const Order& o) {
            return fmt::format("<Order {} {} {} {} {}>", o.order_id(), o.order_book_id(),
                               korvex::name(o.side()), o.quantity(), korvex::name(o.status()));
        });

    py::class_<Trade, TradePtr>(m, "Trade")
        .def_property_readonly("trade_id", &Trade::trade_id)
        .def_property_readonly("order_id", &Trade::order_id)
        .def_property_readonly("order_book_id", &Trade::order_book_id)
        .def_property_readonly("trading_datetime",
                               [](const Trade& t) { return to_py(t.trading_datetime()); })
        .def_property_readonly("last_price", &Trade::last_price)
        .def_property_readonly("last_quantity", &Trade::last_quantity)
        .def_property_readonly("side", &Trade::side)
        .def_property_readonly("position_effect", &Trade::position_effect)
        .def_property_readonly("position_direction", &Trade::position_direction)
        .def_property_readonly("commission", &Trade::commission)
        .def_property_readonly("tax", &Trade::tax)
        .def_property_readonly("transaction_cost", &Trade::transaction_cost)
        .def_property_readonly("named", [](const Trade& t) { return to_py(t.named()); })
        .def("__repr__", [](const Trade& t) {
            return fmt::format("<{} {} {} {} @ {}>", korvex::type_name(t), t.trade_id(),
                               t.order_book_id(), t.last_quantity(), t.last_price());
        });
    using korvex_mod_bond::RepoTrade;
    py::class_<RepoTrade, Trade, std::shared_ptr<RepoTrade>>(m, "RepoTrade")
        .def_property_readonly("repo_period", &RepoTrade::repo_period)
        .def_property_readonly("haircut", &RepoTrade::haircut)
        .def_property_readonly("pledged_quantity", &RepoTrade::pledged_quantity)
        .def_property_readonly("bond_id", &RepoTrade::bond_id)
        .def_property_readonly("coupon_value", &RepoTrade::coupon_value)
        .def_property_readonly("actual_holding_days", &RepoTrade::actual_holding_days)
        .def_property_readonly("due_settlement_date",
                               [](const RepoTrade& t) { return to_py(t.due_settlement_date()); })
        .def_property_readonly("due_settlement_amount", &RepoTrade::due_settlement_amount);

    py::class_<Tick>(m, "Tick")
        .def_readonly("order_book_id", &Tick::order_book_id)
        .def_property_readonly(
            "datetime", [](const Tick& t) { return to_py(datetime_from_int(t.record.datetime)); })
        .def_property_readonly("stamp", [](const Tick& t) { return t.record.datetime; })
        .def_property_readonly("last", [](const Tick& t) { return t.record.last; })
        .def_property_readonly("volume", [](const Tick& t) { return t.record.volume; })
        .def_property_readonly("total_turnover",
                               [](const Tick& t) { return t.record.total_turnover; })
        .def_property_readonly("asks", [](const Tick& t) { return t.record.asks; })
        .def_property_readonly("ask_vols", [](const Tick& t) { return t.record.ask_vols; })
        .def_property_readonly("bids", [](const Tick& t) { return t.record.bids; })
        .def_property_readonly("bid_vols", [](const Tick& t) { return t.record.bid_vols; })
        .def("__repr__", [](const Tick& t) {
            return fmt::format("<Tick {} {} last {}>", t.order_book_id, t.record.datetime,
                               t.record.last);
        });
}

}  // namespace korvex_python
