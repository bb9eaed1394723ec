// The portfolio, its accounts and their positions as views of the live run: every read goes to
// the engine's own objects (a position that has left the book reads as empty), and nothing is
// copied out until asked.
#include <pybind11/stl.h>

#include <fmt/format.h>

#include <unordered_set>

#include "korvex/portfolio/account.hpp"
#include "korvex/portfolio/portfolio.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "py_common.hpp"
#include "py_views.hpp"

namespace korvex_python {

using korvex::POSITION_DIRECTION;

korvex::Account& AccountView::get() const {
    return run.env().portfolio().account(type);
}

korvex::StockPositionProxy PositionView::proxy() const {
    korvex::Account& a = run.env().portfolio().account(account_type);
    return korvex::StockPositionProxy(order_book_id,
                                      a.find_position(order_book_id, POSITION_DIRECTION::LONG),
                                      a.find_position(order_book_id, POSITION_DIRECTION::SHORT));
}

const korvex::Position* PositionView::side(POSITION_DIRECTION d) const {
    return run.env().portfolio().account(account_type).find_position(order_book_id, d);
}

PositionView make_position_view(korvex::DEFAULT_ACCOUNT_TYPE account,
                                const std::string& order_book_id) {
    PositionView v{RunRef(), account, order_book_id, korvex::INSTRUMENT_TYPE::CS};
    v.type = v.run.env().make_position_proxy(order_book_id, nullptr, nullptr)->type();
    return v;
}

namespace {

// One view per instrument held, in the account's order.
std::vector<PositionView> positions_of(const korvex::Account& a) {
    std::vector<PositionView> out;
    std::unordered_set<std::string_view> seen;
    for (const auto& p : a.positions())
        if (seen.insert(p->order_book_id()).second)
            out.push_back(make_position_view(a.type(), p->order_book_id()));
    return out;
}

py::object account_or_none(const korvex::Account* a) {
    if (!a) return py::none();
    return py::cast(AccountView{RunRef(), a->type()});
}

// The figures an account and the whole portfolio both report.
template <class View>
void bind_figures(py::class_<View>& c) {
    c.def_property_readonly("cash", [](const View& v) { return v.get().cash(); })
        .def_property_readonly("frozen_cash", [](const View& v) { return v.get().frozen_cash(); })
        .def_property_readonly("market_value", [](const View& v) { return v.get().market_value(); })
        .def_property_readonly("total_value", [](const View& v) { return v.get().total_value(); })
        .def_property_readonly("starting_cash",
                               [](const View& v) { return v.get().starting_cash(); })
        .def_property_readonly("transaction_cost",
                               [](const View& v) { return v.get().transaction_cost(); });
}

}  // namespace

py::object account_property(const std::any& value) {
    if (auto* a = std::any_cast<korvex::Account*>(&value)) return account_or_none(*a);
    if (auto* a = std::any_cast<const korvex::Account*>(&value)) return account_or_none(*a);
    throw korvex::TypeError("this property's value has no Python form");
}

void bind_portfolio(py::module_& m) {
    py::class_<PositionView>(m, "Position")
        .def_readonly("order_book_id", &PositionView::order_book_id)
        .def_readonly("type", &PositionView::type)
        .def_readonly("account_type", &PositionView::account_type)
        .def_property_readonly("quantity",
                               [](const PositionView& v) { return v.proxy().quantity(); })
        .def_property_readonly("closable",
                               [](const PositionView& v) { return v.proxy().closable(); })
        .def_property_readonly("avg_price",
                               [](const PositionView& v) { return v.proxy().avg_price(); })
        .def_property_readonly("last_price",
                               [](const PositionView& v) { return v.proxy().last_price(); })
        .def_property_readonly("market_value",
                               [](const PositionView& v) { return v.proxy().market_value(); })
        .def_property_readonly("equity", [](const PositionView& v) { return v.proxy().equity(); })
        .def_property_readonly("pnl", [](const PositionView& v) { return v.proxy().pnl(); })
        .def_property_readonly("trading_pnl",
                               [](const PositionView& v) { return v.proxy().trading_pnl(); })
        .def_property_readonly("position_pnl",
                               [](const PositionView& v) { return v.proxy().position_pnl(); })
        // Repos: cash borrowed is the short side, cash lent the long one.
        .def_property_readonly("short_quantity",
                               [](const PositionView& v) {
                                   auto* p = v.side(POSITION_DIRECTION::SHORT);
                                   return p ? p->quantity() : 0.0;
                               })
        .def_property_readonly("pledged_quantity",
                               [](const PositionView& v) {
                                   auto* p = dynamic_cast<const korvex_mod_bond::BondPosition*>(
                                       v.side(POSITION_DIRECTION::LONG));
                                   return p ? p->pledged_quantity() : 0.0;
                               })
        // What a financing placed now may pledge: the closable units and those of the repos
        // falling due today.
        .def_property_readonly(
            "pledgeable",
            [](const PositionView& v) {
                const korvex::Position* p = v.side(POSITION_DIRECTION::LONG);
                const korvex::Environment* env = korvex::Environment::instance_ptr();
                if (!p || !env) return 0.0;
                return korvex_mod_bond::pledgeable_quantity(p, korvex::to_date(env->trading_dt));
            })
        // The face value per unit still outstanding: what a unit backs in a repo.
        .def_property_readonly(
            "remaining_principal",
            [](const PositionView& v) {
                auto* p = dynamic_cast<korvex_mod_bond::BondPosition*>(
                    const_cast<korvex::Position*>(v.side(POSITION_DIRECTION::LONG)));
                const korvex::Environment* env = korvex::Environment::instance_ptr();
                return p && env ? p->remaining_principal(korvex::to_date(env->trading_dt)) : 0.0;
            })
        .def_property_readonly("payment_receivable",
                               [](const PositionView& v) {
                                   auto* p = dynamic_cast<const korvex_mod_bond::BondPosition*>(
                                       v.side(POSITION_DIRECTION::LONG));
                                   return p ? p->payment_receivable() : 0.0;
                               })
        .def("__repr__", [](const PositionView& v) {
            auto p = v.proxy();
            return fmt::format("<Position {} {} quantity {}>", v.order_book_id,
                               korvex::name(v.type), p.quantity());
        });

    py::class_<AccountView> account(m, "Account");
    bind_figures<AccountView>(account);
    account.def_readonly("type", &AccountView::type)
        .def_property_readonly("balance", [](const AccountView& v) { return v.get().balance(); })
        .def_property_readonly("positions",
                               [](const AccountView& v) { return positions_of(v.get()); })
        // The instrument's position in this account, None when it holds none (or none on the
        // side `direction` names).
        .def(
            "position",
            [](const AccountView& v, const std::string& id,
               std::optional<POSITION_DIRECTION> direction) -> py::object {
                const korvex::Account& a = v.get();
                const bool held = direction ? a.find_position(id, *direction) != nullptr
                                            : a.find_position(id, POSITION_DIRECTION::LONG) ||
                                                  a.find_position(id, POSITION_DIRECTION::SHORT);
                if (!held) return py::none();
                return py::cast(make_position_view(a.type(), id));
            },
            py::arg("order_book_id"), py::arg("direction") = py::none(),
            "The instrument's position in this account (on the side `direction` names), or None "
            "when it holds none.")
        .def("__repr__", [](const AccountView& v) {
            return fmt::format("<Account {} cash {:.2f}>", korvex::name(v.type), v.get().cash());
        });

    py::class_<PortfolioView> portfolio(m, "Portfolio");
    bind_figures<PortfolioView>(portfolio);
    portfolio
        .def_property_readonly(
            "accounts",
            [](const PortfolioView& v) {
                py::dict d;
                for (auto& [type, a] : v.get().accounts())
                    d[py::str(std::string(korvex::name(type)))] = AccountView{v.run, type};
                return d;
            })
        .def(
            "account",
            [](const PortfolioView& v, korvex::DEFAULT_ACCOUNT_TYPE type) {
                v.get().account(type);  // KeyError naming the type when absent
                return AccountView{v.run, type};
            },
            py::arg("type"), "The account of a DEFAULT_ACCOUNT_TYPE; KeyError when absent.")
        .def_property_readonly("bond_account",
                               [](const PortfolioView& v) {
                                   return account_property(v.get().property("bond_account"));
                               })
        .def_property_readonly("positions", [](const PortfolioView& v) {
            std::vector<PositionView> out;
            for (auto& [type, a] : v.get().accounts())
                for (auto& p : positions_of(*a)) out.push_back(p);
            return out;
        });
}

}  // namespace korvex_python
