#include "korvex_mod_bond/api/order.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "korvex/api.hpp"
#include "korvex/logger.hpp"
#include "korvex/simulation_broker.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/limits.hpp"
#include "korvex_mod_bond/matcher.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "korvex_mod_bond/validator.hpp"

namespace korvex_mod_bond::api {

using korvex::POSITION_DIRECTION;
using korvex::POSITION_EFFECT;
using korvex::SIDE;

namespace {

template <class T = korvex::OrderPtr>
T refuse(const std::string& reason) {
    korvex::user_system_log().warning(fmt::format("Order creation failed: {}", reason));
    return nullptr;
}

bool positive(double v) {
    return std::isfinite(v) && v > 0;
}

std::shared_ptr<const BondInstrument> bond_of(korvex::Environment& env, const std::string& id) {
    return std::dynamic_pointer_cast<const BondInstrument>(env.data_proxy().find_instrument(id));
}

std::shared_ptr<const RepoInstrument> repo_of(korvex::Environment& env, const std::string& id) {
    return std::dynamic_pointer_cast<const RepoInstrument>(env.data_proxy().find_instrument(id));
}

// The long holding of the bond in its account, or null.
korvex::Position* holding(korvex::Environment& env, const BondInstrument& bond) {
    auto& accounts = env.portfolio().accounts();
    auto it = accounts.find(bond.account_type());
    return it == accounts.end()
               ? nullptr
               : it->second->find_position(bond.order_book_id(), POSITION_DIRECTION::LONG);
}

double held_quantity(korvex::Environment& env, const BondInstrument& bond) {
    const korvex::Position* p = holding(env, bond);
    return p ? p->quantity() : 0;
}

// What a financing placed now may pledge (the maturing repos' bonds included).
double pledgeable_now(korvex::Environment& env, const BondInstrument& bond) {
    return pledgeable_quantity(holding(env, bond), korvex::to_date(env.trading_dt));
}

// Repo orders are filled by the bond broker's repo matcher; signal mode installs none.
std::optional<std::string> no_repo_matcher(korvex::Environment& env, const std::string& repo_id) {
    auto* broker = dynamic_cast<korvex::SimulationBroker*>(env.broker());
    if (broker && broker->has_matcher(korvex::INSTRUMENT_TYPE::REPO)) return std::nullopt;
    return fmt::format(
        "{} cannot be traded: repo orders need the bond broker's repo matcher, which signal "
        "mode (mod.sys_simulation.signal) does not install",
        repo_id);
}

// The day a bond is repaid: its maturity or de-listing date, the earlier of those it has.
std::optional<korvex::Date> repaid_on(const BondInstrument& bond) {
    std::optional<korvex::Date> day;
    for (const char* field : {"maturity_date", "de_listed_date"}) {
        if (!bond.has_attr(field) || !bond.attr(field).is_datetime()) continue;
        const korvex::Date d = korvex::to_date(bond.attr(field).as_datetime());
        if (!day || d < *day) day = d;
    }
    return day;
}

// A pledge must outlive the repo: a bond repaid by the due date leaves nothing pledged.
std::optional<std::string> short_lived_pledge(const BondInstrument& bond,
                                              const std::string& repo_id, korvex::Date due) {
    const std::optional<korvex::Date> repaid = repaid_on(bond);
    if (!repaid || *repaid > due) return std::nullopt;
    return fmt::format(
        "{} cannot be pledged for {}: it is repaid on {}, on or before the repo's due date {}",
        bond.order_book_id(), repo_id, korvex::format_date(*repaid), korvex::format_date(due));
}

std::optional<std::string> bad_haircut(double haircut) {
    if (std::isfinite(haircut) && haircut > 0 && haircut <= 1) return std::nullopt;
    return fmt::format("haircut {} is outside (0, 1]", haircut);
}

}  // namespace

korvex::OrderPtr order_bond(korvex::StrategyContext& ctx, const std::string& order_book_id,
                            double quantity, std::optional<double> price) {
    korvex::Environment& env = ctx.env();
    if (!bond_of(env, order_book_id)) return refuse(fmt::format("{} is not a bond", order_book_id));
    if (!std::isfinite(quantity) || quantity == 0)
        return refuse(
            fmt::format("quantity {} of {} is not a non-zero number", quantity, order_book_id));
    if (quantity > 0)
        return korvex::submit_order(env, order_book_id, quantity, SIDE::BUY, POSITION_EFFECT::OPEN,
                                    price);
    return korvex::submit_order(env, order_book_id, -quantity, SIDE::SELL, POSITION_EFFECT::CLOSE,
                                price);
}

korvex::OrderPtr order_bond_value(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                  double cash_amount, std::optional<double> price) {
    korvex::Environment& env = ctx.env();
    auto bond = bond_of(env, order_book_id);
    if (!bond) return refuse(fmt::format("{} is not a bond", order_book_id));
    double p = price.value_or(korvex::last_close(env, order_book_id));
    if (!positive(p))
        return refuse(fmt::format("{} has no price to value the order", order_book_id));
    if (!std::isfinite(cash_amount))
        return refuse(fmt::format("value {} of {} is not a number", cash_amount, order_book_id));
    double lot = bond->round_lot();
    double quantity = std::floor(std::abs(cash_amount) / p / lot) * lot;
    if (quantity == 0)
        return refuse(fmt::format("value {} of {} buys less than one lot of {} at {}", cash_amount,
                                  order_book_id, lot, p));
    return order_bond(ctx, order_book_id, cash_amount > 0 ? quantity : -quantity, price);
}

korvex::OrderPtr order_bond_face(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                 double face_value, const BondLimit& limit) {
    korvex::Environment& env = ctx.env();
    auto bond = bond_of(env, order_book_id);
    if (!bond) return refuse(fmt::format("{} is not a bond", order_book_id));
    if (!std::isfinite(face_value) || face_value == 0)
        return refuse(
            fmt::format("face value {} of {} is not a non-zero number", face_value, order_book_id));
    if (limit.clean_price && limit.ytm)
        return refuse(
            fmt::format("order of {}: give a clean price or a yield as its limit, not "
                        "both",
                        order_book_id));
    const double lot = bond->round_lot();
    const double units = std::floor(std::abs(face_value) / 100.0 / lot) * lot;
    if (units == 0)
        return refuse(fmt::format("face value {} of {} is less than one lot of {} units",
                                  face_value, order_book_id, lot));
    if (limit.empty()) return order_bond(ctx, order_book_id, face_value > 0 ? units : -units);
    if ((limit.clean_price && !positive(*limit.clean_price)) ||
        (limit.ytm && !std::isfinite(*limit.ytm)))
        return refuse(fmt::format("limit of {} is not a price above 0 or a yield", order_book_id));
    double dirty = 0;
    try {
        // Restated for today; the matcher restates it for the day the order fills.
        dirty = BondAnalyticsBook::of_run(env).dirty_limit(env, order_book_id, limit,
                                                           korvex::to_date(env.calendar_dt));
    } catch (const korvex::ValueError& e) {
        return refuse(e.what());
    }
    korvex::Record extra;
    if (limit.clean_price) extra.set(CLEAN_LIMIT, *limit.clean_price);
    if (limit.ytm) extra.set(YTM_LIMIT, *limit.ytm);
    if (face_value > 0)
        return korvex::submit_order(env, order_book_id, units, SIDE::BUY, POSITION_EFFECT::OPEN,
                                    dirty, std::move(extra));
    return korvex::submit_order(env, order_book_id, units, SIDE::SELL, POSITION_EFFECT::CLOSE,
                                dirty, std::move(extra));
}

korvex::OrderPtr order_bond_target(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                   double target_quantity, std::optional<double> price) {
    auto bond = bond_of(ctx.env(), order_book_id);
    if (!bond) return refuse(fmt::format("{} is not a bond", order_book_id));
    if (!std::isfinite(target_quantity) || target_quantity < 0)
        return refuse(
            fmt::format("target {} of {} is not a quantity >= 0", target_quantity, order_book_id));
    double delta = target_quantity - held_quantity(ctx.env(), *bond);
    if (delta == 0) return nullptr;
    return order_bond(ctx, order_book_id, delta, price);
}

korvex::OrderPtr exchange_repo_financing(korvex::StrategyContext& ctx, const std::string& repo_id,
                                         double nominal_amount, const std::string& bond_id,
                                         double haircut, std::optional<double> rate_limit) {
    korvex::Environment& env = ctx.env();
    auto repo = repo_of(env, repo_id);
    if (!repo || !(ends_with(repo_id, ".SH") || ends_with(repo_id, ".SZ")))
        return refuse(fmt::format("{} is not an exchange repo", repo_id));
    if (auto why = no_repo_matcher(env, repo_id)) return refuse(*why);
    auto bond = bond_of(env, bond_id);
    if (!bond || !is_exchange_bond(bond_id))
        return refuse(fmt::format("{} is not an exchange bond to pledge", bond_id));
    if (auto term = repo->repo_period())
        if (auto why = short_lived_pledge(*bond, repo_id, RepoTrade::due_date_of(*term)))
            return refuse(*why);
    if (auto why = bad_haircut(haircut)) return refuse(*why);
    if (!positive(nominal_amount))
        return refuse(
            fmt::format("amount {} of {} is not a positive number", nominal_amount, repo_id));
    if (bond->exchange() != repo->exchange())
        return refuse(fmt::format("{} is listed on {} and cannot be pledged in {} of {}", bond_id,
                                  bond->exchange(), repo_id, repo->exchange()));
    const double nominal = whole_lots(nominal_amount, repo->round_lot());
    if (nominal == 0)
        return refuse(fmt::format("amount {} of {} is less than its trading unit of {}",
                                  nominal_amount, repo_id, repo->round_lot()));
    if (pledgeable_now(env, *bond) <= 0)
        return refuse(fmt::format("no closable {} is held to pledge", bond_id));
    korvex::Record extra{{"bond_order_book_id", bond_id}, {"haircut", haircut}};
    return korvex::submit_order(env, repo_id, nominal, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                                rate_limit, std::move(extra));
}

korvex::OrderPtr exchange_reverse_repo(korvex::StrategyContext& ctx, const std::string& repo_id,
                                       double amount, std::optional<double> rate_limit) {
    korvex::Environment& env = ctx.env();
    auto repo = repo_of(env, repo_id);
    if (!repo || !(ends_with(repo_id, ".SH") || ends_with(repo_id, ".SZ")))
        return refuse(fmt::format("{} is not an exchange repo", repo_id));
    if (auto why = no_repo_matcher(env, repo_id)) return refuse(*why);
    if (!positive(amount))
        return refuse(fmt::format("amount {} of {} is not a positive number", amount, repo_id));
    const double lent = whole_lots(amount, repo->round_lot());
    const double minimum =
        std::max(min_repo_value(repo->exchange()).value_or(0.0), repo->round_lot());
    if (lent < minimum)
        return refuse(fmt::format("lending {} on {} is below the exchange's minimum of {}", amount,
                                  repo_id, minimum));
    amount = lent;
    korvex::Account& account = env.portfolio().account(repo->account_type());
    double need = amount + calc_repo_commission(repo_id, amount);
    const double available = korvex::buying_power(env, account);
    if (need > available + 1e-9)
        return refuse(fmt::format("lending {} on {} needs {:.2f} with commission, cash is {:.2f}",
                                  amount, repo_id, need, available));
    korvex::Record extra{{"haircut", 1.0}};
    return korvex::submit_order(env, repo_id, amount, SIDE::MARGIN, POSITION_EFFECT::OPEN,
                                rate_limit, std::move(extra));
}

namespace {

// Books an inter-bank repo trade directly: these are bilateral deals, not exchange orders.
std::shared_ptr<RepoTrade> book(korvex::Environment& env, std::shared_ptr<RepoTrade> trade) {
    auto repo = env.data_proxy().instruments(trade->order_book_id());
    korvex::Account& account = env.portfolio().account(repo->account_type());
    if (env.transaction_cost_decider(korvex::INSTRUMENT_TYPE::REPO)) {
        trade->set_commission(env.get_trade_commission(*trade));
        trade->set_tax(env.get_trade_tax(*trade));
    }
    account.apply_trade(*trade);
    env.record_trade(trade);
    return trade;
}

// The standard inter-bank repo for a term and the account that books it, or why there is none.
struct StandardRepo {
    std::string id;
    korvex::Account* account = nullptr;
    std::string refusal;
};

StandardRepo standard_repo(korvex::Environment& env, int term_days) {
    auto repo_id = get_repo_order_book_id(term_days);
    if (!repo_id)
        return {
            {},
            nullptr,
            fmt::format("no standard inter-bank repo for a term of {} days (1 to 90)", term_days)};
    auto repo = repo_of(env, *repo_id);
    if (!repo) return {*repo_id, nullptr, fmt::format("{} is not served by the data", *repo_id)};
    auto& accounts = env.portfolio().accounts();
    auto it = accounts.find(repo->account_type());
    if (it == accounts.end())
        return {*repo_id, nullptr,
                fmt::format("{} needs the {} account, which is not configured", *repo_id,
                            korvex::name(repo->account_type()))};
    return {*repo_id, it->second, {}};
}

}  // namespace

std::shared_ptr<RepoTrade> ib_repo(korvex::StrategyContext& ctx, int term_days,
                                   double nominal_amount, const std::string& bond_id,
                                   double haircut) {
    using Result = std::shared_ptr<RepoTrade>;
    korvex::Environment& env = ctx.env();
    StandardRepo standard = standard_repo(env, term_days);
    if (!standard.account) return refuse<Result>(standard.refusal);
    const std::string* repo_id = &standard.id;
    auto bond = bond_of(env, bond_id);
    if (!bond || is_exchange_bond(bond_id))
        return refuse<Result>(fmt::format("{} is not an inter-bank bond to pledge", bond_id));
    if (auto why = short_lived_pledge(*bond, *repo_id, RepoTrade::due_date_of(term_days)))
        return refuse<Result>(*why);
    if (auto why = bad_haircut(haircut)) return refuse<Result>(*why);
    if (!positive(nominal_amount))
        return refuse<Result>(
            fmt::format("amount {} of {} is not a positive number", nominal_amount, *repo_id));
    if (!bond->issue_price() || *bond->issue_price() <= 0)
        return refuse<Result>(fmt::format("{} has no issue price to pledge at", bond_id));
    // A unit backs what is still outstanding of its principal.
    const double face = pledge_face(holding(env, *bond), *bond, korvex::to_date(env.trading_dt));
    if (face <= 0)
        return refuse<Result>(fmt::format("{} has no principal outstanding to pledge", bond_id));
    double pledged = std::ceil(nominal_amount / face - 1e-9);
    double closable = pledgeable_now(env, *bond);
    if (pledged > closable)
        return refuse<Result>(
            fmt::format("pledging {} units of {} for {} needs more than the closable {}", pledged,
                        bond_id, nominal_amount, closable));
    double rate = repo_rate_today(env, *repo_id);
    if (!std::isfinite(rate))
        return refuse<Result>(fmt::format("{} has no repo rate on {}", *repo_id,
                                          korvex::format_date(korvex::to_date(env.calendar_dt))));
    if (auto why = financing_breach(env, nominal_amount * haircut)) return refuse<Result>(*why);
    return book(env, RepoTrade::create_repo_trade(rate, nominal_amount, *repo_id, term_days,
                                                  haircut, bond_id, pledged));
}

std::shared_ptr<RepoTrade> ib_reverse_repo(korvex::StrategyContext& ctx, int term_days,
                                           double amount) {
    using Result = std::shared_ptr<RepoTrade>;
    korvex::Environment& env = ctx.env();
    StandardRepo standard = standard_repo(env, term_days);
    if (!standard.account) return refuse<Result>(standard.refusal);
    const std::string* repo_id = &standard.id;
    if (!positive(amount))
        return refuse<Result>(
            fmt::format("amount {} of {} is not a positive number", amount, *repo_id));
    double need = amount + calc_repo_commission(*repo_id, amount);
    // Booked at once: the proceeds of open sells, which fill later if at all, cannot pay for it.
    const double available = standard.account->cash();
    if (need > available + 1e-9)
        return refuse<Result>(
            fmt::format("lending {} on {} needs {:.2f} with commission, cash is {:.2f}", amount,
                        *repo_id, need, available));
    double rate = repo_rate_today(env, *repo_id);
    if (!std::isfinite(rate))
        return refuse<Result>(fmt::format("{} has no repo rate on {}", *repo_id,
                                          korvex::format_date(korvex::to_date(env.calendar_dt))));
    return book(env, RepoTrade::create_reverse_repo_trade(rate, amount, *repo_id, term_days));
}

double calc_max_amount(const std::string& repo_id, double available_cash) {
    return RepoTrade::calc_max_amount(repo_id, available_cash);
}

}  // namespace korvex_mod_bond::api
