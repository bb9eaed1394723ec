// The context a Python strategy's hooks receive: what a C++ strategy's StrategyContext offers,
// with the bond package's order functions as its methods. A refused order is None, and the
// refusal's warning is kept in `last_refusal`.
#include <pybind11/stl.h>

#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "korvex_mod_bond/api/analytics.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "py_bars.hpp"
#include "py_context.hpp"
#include "py_views.hpp"

namespace korvex_python {

namespace {

using korvex::TRADING_CALENDAR_TYPE;
using Calendar = std::optional<TRADING_CALENDAR_TYPE>;
namespace api = korvex_mod_bond::api;

// Runs an order function; a null result takes the warning the engine gave for it.
template <class F>
auto ordering(ContextView& c, F&& f) {
    const std::uint64_t before = user_warnings().count;
    auto result = f(c.run.ctx());
    if (result)
        c.last_refusal = py::none();
    else if (user_warnings().count != before)
        c.last_refusal = py::str(user_warnings().last);
    else
        c.last_refusal = py::str("refused");
    return result;
}

py::list dates(const std::vector<korvex::Date>& days) {
    py::list out(days.size());
    for (std::size_t i = 0; i < days.size(); ++i) out[i] = to_py(days[i]);
    return out;
}

}  // namespace

namespace {

void bind_bond_analytics(py::module_& m) {
    using korvex_mod_bond::BondAnalytics;
    py::class_<BondAnalytics>(
        m, "BondAnalytics",
        "A bond's analytics as of the run's time, per unit of 100 face at issue: prices in yuan, "
        "ytm in percent, durations in years, dv01 in yuan per basis point. `source` says where "
        "they come from: 'valuation' (the valuation row of the run's bars), 'quantlib' (computed "
        "from the bar's price and the bond's terms) or 'none' (no price known yet: NaN).")
        .def_readonly("order_book_id", &BondAnalytics::order_book_id)
        .def_property_readonly(
            "as_of",
            [](const BondAnalytics& a) -> py::object {
                return a.as_of ? to_py(*a.as_of) : py::none();
            },
            "the day of the close the figures read, or None")
        .def_property_readonly("source",
                               [](const BondAnalytics& a) { return std::string(a.source); })
        .def_readonly("dirty_price", &BondAnalytics::dirty_price)
        .def_readonly("clean_price", &BondAnalytics::clean_price)
        .def_readonly("accrued_interest", &BondAnalytics::accrued_interest)
        .def_readonly("ytm", &BondAnalytics::ytm, "yield to maturity, percent")
        .def_readonly("modified_duration", &BondAnalytics::modified_duration, "years")
        .def_readonly("convexity", &BondAnalytics::convexity)
        .def_readonly("dv01", &BondAnalytics::dv01, "yuan per unit for one basis point")
        .def_readonly("time_to_maturity", &BondAnalytics::time_to_maturity, "years")
        .def_readonly("outstanding_principal", &BondAnalytics::outstanding_principal,
                      "face still outstanding per unit")
        .def_readonly("curve_yield", &BondAnalytics::curve_yield,
                      "the reference curve (mod.bond.analytics_curve) at the bond's time to "
                      "maturity on the day of the close, percent; NaN without a curve")
        .def_readonly("spread_bp", &BondAnalytics::spread_bp, "ytm over curve_yield, basis points")
        .def_property_readonly("next_coupon_date",
                               [](const BondAnalytics& a) -> py::object {
                                   return a.next_coupon_date ? to_py(*a.next_coupon_date)
                                                             : py::none();
                               })
        .def_readonly("next_coupon_amount", &BondAnalytics::next_coupon_amount, "yuan per unit")
        .def_property_readonly(
            "cash_flows",
            [](const BondAnalytics& a) {
                py::list out;
                for (const auto& p : a.cash_flows)
                    out.append(py::make_tuple(to_py(p.date), p.coupon, p.principal));
                return out;
            },
            "the payments from today on: (date, coupon, principal) per unit")
        .def("__repr__", [](const BondAnalytics& a) {
            return fmt::format("<BondAnalytics {} ({}): dirty {:.4f} ytm {:.4f}% duration {:.4f}>",
                               a.order_book_id, a.source, a.dirty_price, a.ytm,
                               a.modified_duration);
        });
}

}  // namespace

void bind_context(py::module_& m) {
    using korvex::StrategyContext;
    bind_bond_analytics(m);
    py::class_<ContextView>(m, "Context", py::dynamic_attr())
        .def_property_readonly("now", [](const ContextView& c) { return to_py(c.run.ctx().now()); })
        .def_readonly("settings", &ContextView::settings)
        .def_property_readonly(
            "config", [](const ContextView& c) { return table_to_py(c.run.ctx().config()); })
        .def_readonly("last_refusal", &ContextView::last_refusal)
        .def_property_readonly("portfolio",
                               [](const ContextView& c) {
                                   c.run.ctx();  // only while the run is live
                                   return PortfolioView{c.run};
                               })
        .def_property_readonly("stock_account",
                               [](const ContextView& c) {
                                   c.run.ctx().stock_account();  // KeyError when there is none
                                   return AccountView{c.run, korvex::DEFAULT_ACCOUNT_TYPE::STOCK};
                               })
        .def_property_readonly("bond_account",
                               [](const ContextView& c) {
                                   return account_property(c.run.ctx().property("bond_account"));
                               })
        // Instruments and their bars.
        .def(
            "instruments",
            [](const ContextView& c, const std::string& id) {
                return hold(c.run.ctx().data_proxy().instruments(id));
            },
            py::arg("order_book_id"),
            "The instrument (BondInstrument, RepoInstrument, ...) with its record's fields as "
            "attributes; KeyError for an unknown id.")
        .def(
            "all_instruments",
            [](const ContextView& c, std::optional<korvex::INSTRUMENT_TYPE> type) {
                std::vector<InstrumentHolder> out;
                for (auto& i : c.run.ctx().data_proxy().all_instruments(type))
                    out.push_back(hold(i));
                return out;
            },
            py::arg("type") = py::none(),
            "Every instrument of an INSTRUMENT_TYPE (all types when None), as instruments().")
        .def(
            "day_bars",
            [](const ContextView& c, const std::string& id) {
                return bars_to_numpy(c.run.ctx().data_proxy().day_bars(id));
            },
            py::arg("order_book_id"),
            "The day bars known now (today's from its 15:00 close), a read-only NumPy structured "
            "array over the engine's records; bond prices are dirty, per unit of 100 face.")
        .def(
            "minute_bars",
            [](const ContextView& c, const std::string& id) {
                return bars_to_numpy(c.run.ctx().data_proxy().minute_bars(id));
            },
            py::arg("order_book_id"),
            "The minute bars known now (each from the end of its minute), as day_bars().")
        .def(
            "ticks",
            [](const ContextView& c, const std::string& id, const py::handle& day) {
                return bars_to_numpy(c.run.ctx().data_proxy().ticks(id, date_from_py(day)));
            },
            py::arg("order_book_id"), py::arg("date"),
            "The day's quote snapshots stamped at or before now, as day_bars().")
        // The last `count` bars known now; `fields` (a name or a list of names) picks columns
        // of the same records: still a view, no copy.
        .def(
            "history_bars",
            [](const ContextView& c, const std::string& id, std::size_t count,
               const std::string& frequency, const py::object& fields) -> py::object {
                py::array bars =
                    bars_to_numpy(c.run.ctx().data_proxy().history_bars(id, count, frequency));
                if (fields.is_none()) return bars;
                return bars[fields];
            },
            py::arg("order_book_id"), py::arg("count"), py::arg("frequency") = "1d",
            py::arg("fields") = py::none(),
            "The last `count` bars known now at `frequency` ('1d' or '1m'); `fields`, a name or "
            "a list of names, picks columns of the same records (still no copy).")
        // Trading calendars: the exchange's unless `calendar` names the inter-bank one.
        .def(
            "is_trading_date",
            [](const ContextView& c, const py::handle& day, Calendar calendar) {
                return c.run.ctx().data_proxy().is_trading_date(korvex::DateTime(date_from_py(day)),
                                                                calendar);
            },
            py::arg("date"), py::arg("calendar") = py::none(),
            "Whether `date` is a trading day: of the exchanges, or of TRADING_CALENDAR_TYPE "
            "`calendar` (the inter-bank one).")
        .def(
            "get_trading_dates",
            [](const ContextView& c, const py::handle& start, const py::handle& end,
               Calendar calendar) {
                return dates(c.run.ctx().data_proxy().get_trading_dates(
                    date_from_py(start), date_from_py(end), calendar));
            },
            py::arg("start"), py::arg("end"), py::arg("calendar") = py::none(),
            "The trading days from `start` to `end`, both included, as dates.")
        .def(
            "get_next_trading_date",
            [](const ContextView& c, const py::handle& day, int n, Calendar calendar) {
                return to_py(korvex::to_date(c.run.ctx().data_proxy().get_next_trading_date(
                    date_from_py(day), n, calendar)));
            },
            py::arg("date"), py::arg("n") = 1, py::arg("calendar") = py::none(),
            "The `n`-th trading day after `date`.")
        .def(
            "get_previous_trading_date",
            [](const ContextView& c, const py::handle& day, int n, Calendar calendar) {
                return to_py(korvex::to_date(c.run.ctx().data_proxy().get_previous_trading_date(
                    date_from_py(day), n, calendar)));
            },
            py::arg("date"), py::arg("n") = 1, py::arg("calendar") = py::none(),
            "The `n`-th trading day before `date`.")
        .def(
            "trading_calendar",
            [](const ContextView& c, Calendar calendar) {
                return dates(c.run.ctx().data_proxy().trading_calendar(calendar));
            },
            py::arg("calendar") = py::none(), "Every trading day of the calendar, as dates.")
        // Quote snapshots of tick runs.
        .def(
            "subscribe",
            [](const ContextView& c, const std::string& id) { c.run.ctx().subscribe(id); },
            py::arg("order_book_id"), "Tick runs: handle_tick sees this instrument's snapshots.")
        .def(
            "unsubscribe",
            [](const ContextView& c, const std::string& id) { c.run.ctx().unsubscribe(id); },
            py::arg("order_book_id"), "Tick runs: no more snapshots of this instrument.")
        .def_property_readonly("subscribed",
                               [](const ContextView& c) { return c.run.ctx().subscribed(); })
        // Orders.
        .def(
            "submit_order",
            [](ContextView& c, const std::string& id, double quantity, korvex::SIDE side,
               korvex::POSITION_EFFECT effect, std::optional<double> price) {
                return ordering(c, [&](StrategyContext& x) {
                    return x.submit_order(id, quantity, side, effect, price);
                });
            },
            py::arg("order_book_id"), py::arg("quantity"), py::arg("side"),
            py::arg("position_effect"), py::arg("price") = py::none(),
            "An order of `quantity` units (bonds: units of 100 face; repos: yuan) on SIDE and "
            "POSITION_EFFECT; `price` makes it a limit (bonds: dirty, per unit). The Order, or "
            "None when refused (last_refusal says why).")
        .def(
            "order_shares",
            [](ContextView& c, const std::string& id, double amount, std::optional<double> price) {
                return ordering(
                    c, [&](StrategyContext& x) { return x.order_shares(id, amount, price); });
            },
            py::arg("order_book_id"), py::arg("amount"), py::arg("price") = py::none(),
            "Buy (positive) or sell (negative) `amount` units, rounded to whole lots; `price` "
            "makes it a limit. The Order, or None when refused.")
        .def(
            "bond_analytics",
            [](ContextView& c, const std::string& id) {
                return korvex_mod_bond::api::bond_analytics(c.run.ctx(), id);
            },
            py::arg("order_book_id"),
            "The bond's analytics as of now (BondAnalytics): the valuation row's figures where "
            "the run's bars carry them, else computed with QuantLib from the latest close.")
        .def(
            "order_bond",
            [](ContextView& c, const std::string& id, double quantity,
               std::optional<double> price) {
                return ordering(
                    c, [&](StrategyContext& x) { return api::order_bond(x, id, quantity, price); });
            },
            py::arg("order_book_id"), py::arg("quantity"), py::arg("price") = py::none(),
            "Buy (positive) or sell (negative) `quantity` bond units (100 face each at issue; "
            "inter-bank bonds trade 1,000 units at least); `price`: a dirty-price limit per "
            "unit. The Order, or None when refused (last_refusal says why).")
        .def(
            "order_bond_value",
            [](ContextView& c, const std::string& id, double cash_amount,
               std::optional<double> price) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::order_bond_value(x, id, cash_amount, price);
                });
            },
            py::arg("order_book_id"), py::arg("cash_amount"), py::arg("price") = py::none(),
            "Buy (positive) or sell (negative) bonds worth about `cash_amount` yuan at `price` "
            "(dirty, per unit) or the last close, in whole lots. The Order, or None.")
        .def(
            "order_bond_face",
            [](ContextView& c, const std::string& id, double face_value,
               std::optional<double> clean_price, std::optional<double> ytm) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::order_bond_face(x, id, face_value, {clean_price, ytm});
                });
            },
            py::arg("order_book_id"), py::arg("face_value"), py::arg("clean_price") = py::none(),
            py::arg("ytm") = py::none(),
            "Buy (positive) or sell (negative) `face_value` yuan of face at issue (units of 100), "
            "in whole lots; a limit as a clean price per unit or a yield in percent (a buy fills "
            "at or below the price, at or above the yield), restated as the dirty price of the "
            "day the order fills. The Order, or None when refused.")
        .def(
            "order_bond_target",
            [](ContextView& c, const std::string& id, double target_quantity,
               std::optional<double> price) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::order_bond_target(x, id, target_quantity, price);
                });
            },
            py::arg("order_book_id"), py::arg("target_quantity"), py::arg("price") = py::none(),
            "Trade towards holding `target_quantity` bond units. The Order, or None.")
        .def(
            "exchange_repo_financing",
            [](ContextView& c, const std::string& repo_id, double nominal_amount,
               const std::string& bond_id, double haircut, std::optional<double> rate_limit) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::exchange_repo_financing(x, repo_id, nominal_amount, bond_id,
                                                        haircut, rate_limit);
                });
            },
            py::arg("repo_id"), py::arg("nominal_amount"), py::arg("bond_id"),
            py::arg("haircut") = 1.0, py::arg("rate_limit") = py::none(),
            "Borrow on an exchange repo against a held bond of the same exchange: "
            "`nominal_amount` yuan of face pledged (whole repo units), cash received = nominal "
            "x `haircut`; `rate_limit`: the highest rate paid (a fraction a year). The Order, "
            "or None.")
        .def(
            "exchange_reverse_repo",
            [](ContextView& c, const std::string& repo_id, double amount,
               std::optional<double> rate_limit) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::exchange_reverse_repo(x, repo_id, amount, rate_limit);
                });
            },
            py::arg("repo_id"), py::arg("amount"), py::arg("rate_limit") = py::none(),
            "Lend `amount` yuan on an exchange repo (whole units, at least the exchange's "
            "minimum); `rate_limit`: the lowest rate accepted. The Order, or None.")
        .def(
            "ib_repo",
            [](ContextView& c, int term_days, double nominal_amount, const std::string& bond_id,
               double haircut) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::ib_repo(x, term_days, nominal_amount, bond_id, haircut);
                });
            },
            py::arg("term_days"), py::arg("nominal_amount"), py::arg("bond_id"),
            py::arg("haircut") = 1.0,
            "Borrow on the standard inter-bank repo of `term_days` days against a held "
            "inter-bank bond, booked at once at today's rate: `nominal_amount` yuan of face "
            "pledged, cash = nominal x `haircut`. The RepoTrade, or None.")
        .def(
            "ib_reverse_repo",
            [](ContextView& c, int term_days, double amount) {
                return ordering(c, [&](StrategyContext& x) {
                    return api::ib_reverse_repo(x, term_days, amount);
                });
            },
            py::arg("term_days"), py::arg("amount"),
            "Lend `amount` yuan on the standard inter-bank repo of `term_days` days, booked at "
            "once at today's rate. The RepoTrade, or None.")
        .def(
            "calc_max_amount",
            [](const ContextView& c, const std::string& repo_id, double available_cash) {
                c.run.ctx();  // only while a run is live
                return api::calc_max_amount(repo_id, available_cash);
            },
            py::arg("repo_id"), py::arg("available_cash"),
            "The largest amount (yuan) that `available_cash` lends on this repo, commission "
            "included.")
        // Properties mods install on the context, by name.
        .def("__getattr__",
             [](const ContextView& c, const std::string& name) {
                 if (!korvex::StrategyContext::has_property(name))
                     throw py::attribute_error(fmt::format("context has no attribute '{}'", name));
                 return account_property(c.run.ctx().property(name));
             })
        .def("__repr__", [](const ContextView& c) {
            return fmt::format("<Context {}>", korvex::format_datetime(c.run.ctx().now()));
        });
}

}  // namespace korvex_python
