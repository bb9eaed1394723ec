#include "korvex_mod_bond/trade.hpp"

#include <fmt/format.h>

#include <cmath>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/utils.hpp"

namespace korvex_mod_bond {

using korvex::POSITION_DIRECTION;
using korvex::SIDE;
using korvex::Value;

namespace {

std::int64_t whole_days(const Value& v, const std::string& order_book_id) {
    if (v.is_int()) return v.as_int();
    if (v.is_float() && std::trunc(v.as_double()) == v.as_double())
        return static_cast<std::int64_t>(v.as_double());
    throw korvex::TypeError(
        fmt::format("repo_period of a {} trade must be a whole number of days, "
                    "got {} {}",
                    order_book_id, v.kind(), v.to_string()));
}

// The term given with the trade, or the repo instrument's when none (or 0) is given.
std::int64_t term_of(const korvex::Instrument& repo, const korvex::Record& named) {
    if (const Value* v = named.find("repo_period"); v && v->truthy())
        return whole_days(*v, repo.order_book_id());
    const auto* r = dynamic_cast<const RepoInstrument*>(&repo);
    if (!r)
        throw korvex::TypeError(
            fmt::format("repo trade on {}: its instrument is {}, not RepoInstrument",
                        repo.order_book_id(), korvex::type_name(repo)));
    std::optional<std::int64_t> term = r->repo_period();
    if (!term)
        throw korvex::ValueError(
            fmt::format("repo {} has no repo_period and the trade gives none: no due date",
                        repo.order_book_id()));
    return *term;
}

// Issue price of the pledged bond; none when the bond's record has it empty.
Value coupon_value_of(const korvex::DataProxy& data_proxy, const std::string& bond_id) {
    korvex::InstrumentPtr bond = data_proxy.instruments(bond_id);
    const auto* b = dynamic_cast<const BondInstrument*>(bond.get());
    if (!b)
        throw korvex::TypeError(
            fmt::format("pledged bond {}: its instrument is {}, not BondInstrument", bond_id,
                        korvex::type_name(*bond)));
    std::optional<double> issue_price = b->issue_price();
    return issue_price ? Value(*issue_price) : Value();
}

}  // namespace

std::shared_ptr<RepoTrade> RepoTrade::from_create(std::optional<std::int64_t> order_id,
                                                  double price, double amount, SIDE side,
                                                  std::string order_book_id,
                                                  const korvex::Record& named) {
    korvex::Environment& env = korvex::Environment::get_instance();
    const korvex::DataProxy& data_proxy = env.data_proxy();
    korvex::InstrumentPtr repo = data_proxy.instruments(order_book_id);

    const std::int64_t repo_period = term_of(*repo, named);
    const Value* h = named.find("haircut");
    const double haircut = h ? h->as_double() : 1.0;
    const Value* q = named.find("pledged_quantity");
    const double pledged_quantity = q ? q->as_double() : 0.0;

    const korvex::Date due = due_date_of(repo_period);
    // Interest runs from the calendar date.
    const std::int64_t actual_holding_days = (due - korvex::to_date(env.calendar_dt)).count();
    const double cash_amount = amount * haircut;
    const double due_settlement_amount =
        cash_amount * (1 + ((price / 365) * static_cast<double>(actual_holding_days)));

    std::string bond_id;
    Value coupon_value = 0.0;
    if (side == SIDE::FINANCING) {
        if (const Value* b = named.find("bond_id"); b && !b->is_none()) bond_id = b->as_string();
        coupon_value = coupon_value_of(data_proxy, bond_id);
    }
    const double commission = calc_repo_commission(order_book_id, cash_amount);

    korvex::Record values{{"commission", commission},
                          {"repo_period", repo_period},
                          {"haircut", haircut},
                          {"coupon_value", coupon_value},
                          {"bond_id", bond_id},
                          {"actual_holding_days", actual_holding_days},
                          {"due_settlement_amount", due_settlement_amount},
                          {"due_settlement_date", korvex::to_datetime(due)},
                          {"pledged_quantity", pledged_quantity}};
    return korvex::Trade::from_create<RepoTrade>(order_id, price, cash_amount, side,
                                                 korvex::POSITION_EFFECT::OPEN,
                                                 std::move(order_book_id), std::move(values));
}

std::shared_ptr<RepoTrade> RepoTrade::create_repo_trade(double price, double amount,
                                                        std::string order_book_id,
                                                        std::optional<std::int64_t> repo_period,
                                                        double haircut, std::string bond_id,
                                                        double pledged_quantity) {
    return from_create(std::nullopt, price, amount, SIDE::FINANCING, std::move(order_book_id),
                       {{"repo_period", repo_period ? Value(*repo_period) : Value()},
                        {"haircut", haircut},
                        {"bond_id", std::move(bond_id)},
                        {"pledged_quantity", pledged_quantity}});
}

std::shared_ptr<RepoTrade> RepoTrade::create_reverse_repo_trade(
    double price, double amount, std::string order_book_id,
    std::optional<std::int64_t> repo_period) {
    return from_create(std::nullopt, price, amount, SIDE::MARGIN, std::move(order_book_id),
                       {{"repo_period", repo_period ? Value(*repo_period) : Value()}});
}

std::shared_ptr<RepoTrade> RepoTrade::create_exchange_repo_trade(
    std::optional<std::int64_t> order_id, double price, double amount, std::string order_book_id,
    double hairbut, std::string bond_id, double pledged_quantity) {
    return from_create(order_id, price, amount, SIDE::FINANCING, std::move(order_book_id),
                       {{"bond_id", std::move(bond_id)},
                        {"haircut", hairbut},
                        {"pledged_quantity", pledged_quantity}});
}

std::shared_ptr<RepoTrade> RepoTrade::create_exchange_reverse_repo_trade(
    std::optional<std::int64_t> order_id, double price, double amount, std::string order_book_id) {
    return from_create(order_id, price, amount, SIDE::MARGIN, std::move(order_book_id));
}

double RepoTrade::calc_max_amount(const std::string& order_book_id, double available_cash) {
    return available_cash / (1 + get_commission_rate(order_book_id));
}

POSITION_DIRECTION RepoTrade::position_direction() const {
    return side() == SIDE::FINANCING ? POSITION_DIRECTION::SHORT : POSITION_DIRECTION::LONG;
}

std::int64_t RepoTrade::repo_period() const {
    return attr("repo_period").as_int();
}
double RepoTrade::haircut() const {
    return attr("haircut").as_double();
}
double RepoTrade::pledged_quantity() const {
    return attr("pledged_quantity").as_double();
}
std::string RepoTrade::bond_id() const {
    return attr("bond_id").as_string();
}
std::optional<double> RepoTrade::coupon_value() const {
    const Value& v = attr("coupon_value");
    return v.is_none() ? std::nullopt : std::optional<double>(v.as_double());
}
std::int64_t RepoTrade::actual_holding_days() const {
    return attr("actual_holding_days").as_int();
}
korvex::Date RepoTrade::due_date_of(std::int64_t repo_period) {
    korvex::Environment& env = korvex::Environment::get_instance();
    const korvex::DataProxy& data_proxy = env.data_proxy();
    // The term runs from the trading date; one step to the next trading date, no loop.
    korvex::Date due = korvex::to_date(env.trading_dt) + std::chrono::days(repo_period);
    if (!data_proxy.is_trading_date(korvex::to_datetime(due)))
        due = korvex::to_date(data_proxy.get_next_trading_date(due));
    return due;
}

korvex::Date RepoTrade::due_settlement_date() const {
    return korvex::to_date(attr("due_settlement_date").as_datetime());
}
double RepoTrade::due_settlement_amount() const {
    return attr("due_settlement_amount").as_double();
}

}  // namespace korvex_mod_bond
