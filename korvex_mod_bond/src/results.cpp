#include "korvex_mod_bond/results.hpp"

#include <fmt/format.h>

#include <cmath>
#include <initializer_list>

#include "book_figures.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/trade.hpp"

namespace korvex_mod_bond::results {

namespace {

using korvex::POSITION_DIRECTION;

using book::each_position;
using book::repo_outstanding;

// Where the book's analytics come from: the run's own bars, Chinabond valuations for bonds whose
// bars have none only when mod.bond.analytics_from_valuations asks for it, then the bond
// analytics computed from the bars' price and the bond's terms. A bond left out is said once
// per run.
struct Analytics {
    std::shared_ptr<korvex::AbstractDayBarStore> valuations;  // null: the bars only
    bool told = false;
};

// Today's analytic of a bond, or NaN when its sources have none.
double bar_field(korvex::Environment& env, Analytics& analytics, const std::string& id,
                 const char* field) {
    const std::int64_t today = korvex::convert_date_to_int(korvex::to_date(env.calendar_dt));
    auto read = [&](const korvex::Bars& bars) {
        if (bars.empty() || !bars.layout()->find(field)) return std::nan("");
        std::size_t i = bars.find_at_or_before(today);
        return i == korvex::Bars::npos ? std::nan("") : bars.get(i, field);
    };
    double v = read(env.data_proxy().day_bars(id));
    if (std::isfinite(v)) return v;
    if (analytics.valuations) {
        try {
            v = read(analytics.valuations->get_bars(id));
        } catch (const korvex::Error&) {
            v = std::nan("");  // no valuations to be had
        }
    }
    if (!std::isfinite(v)) {
        // Computed from the bars' price and the bond's terms, where the record has them.
        const BondAnalytics& a = BondAnalyticsBook::of_run(env).of(env, id);
        v = std::string_view(field) == "dv01" ? a.dv01 : a.modified_duration;
    }
    if (!std::isfinite(v) && !analytics.told) {
        analytics.told = true;
        korvex::system_log().warning(fmt::format(
            "book analytics: {} has no {} on {} in the bars of this run and is left out of dv01 "
            "and modified_duration{}",
            id, field, korvex::format_date(korvex::to_date(env.calendar_dt)),
            analytics.valuations ? ""
                                 : " (mod.bond.analytics_from_valuations = true reads Chinabond "
                                   "valuations where the bars have none)"));
    }
    return v;
}

double bond_market_value(korvex::Environment& env) {
    double mv = 0;
    each_position(env, [&](korvex::Position& p) {
        if (dynamic_cast<BondPosition*>(&p)) mv += p.market_value();
    });
    return mv;
}

// Sum of the journals' entries of the given causes.
double journaled(korvex::Environment& env, std::initializer_list<korvex::CASH_CAUSE> causes) {
    double total = 0;
    for (auto& [type, account] : env.portfolio().accounts())
        for (korvex::CASH_CAUSE c : causes) total += account->journal().total(c);
    return total;
}

// The cash amounts outstanding with their accrued interest.
double repo_owed(korvex::Environment& env, POSITION_DIRECTION direction) {
    double owed = 0;
    each_position(env, [&](korvex::Position& p) {
        if (dynamic_cast<RepoPosition*>(&p) && p.direction() == direction)
            owed += std::abs(p.equity());
    });
    return owed;
}

double payment_receivable(korvex::Environment& env) {
    double r = 0;
    each_position(env, [&](korvex::Position& p) {
        if (auto* b = dynamic_cast<BondPosition*>(&p)) r += b->payment_receivable();
    });
    return r;
}

}  // namespace

void load(korvex::Environment& env) {
    auto analytics = std::make_shared<Analytics>();
    if (auto on = env.config().find("mod.bond.analytics_from_valuations"); on && on->as_bool())
        analytics->valuations = std::make_shared<ChinabondBondDayBarStore>();
    env.add_daily_metric("payment_receivable", payment_receivable);
    env.add_daily_metric("repo_borrowed", [](korvex::Environment& e) {
        return repo_outstanding(e, POSITION_DIRECTION::SHORT);
    });
    env.add_daily_metric("repo_lent", [](korvex::Environment& e) {
        return repo_outstanding(e, POSITION_DIRECTION::LONG);
    });
    env.add_daily_metric("pledged_face_value", [](korvex::Environment& e) {
        double v = 0;
        const korvex::Date today = korvex::to_date(e.trading_dt);
        each_position(e, [&](korvex::Position& p) {
            if (auto* b = dynamic_cast<BondPosition*>(&p); b && b->pledged_quantity() != 0)
                v += b->pledged_quantity() * b->remaining_principal(today);
        });
        return v;
    });
    env.add_daily_metric("dv01", [analytics](korvex::Environment& e) {
        double v = 0;
        each_position(e, [&](korvex::Position& p) {
            if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
            double d = bar_field(e, *analytics, p.order_book_id(), "dv01");
            if (std::isfinite(d)) v += d * p.quantity() * korvex::direction_factor(p.direction());
        });
        return v;
    });
    env.add_daily_metric("modified_duration", [analytics](korvex::Environment& e) {
        double weighted = 0, mv = 0;
        each_position(e, [&](korvex::Position& p) {
            if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
            double d = bar_field(e, *analytics, p.order_book_id(), "modified_duration");
            if (!std::isfinite(d)) return;
            weighted += d * p.market_value();
            mv += p.market_value();
        });
        return mv != 0 ? weighted / mv : 0.0;
    });
    env.add_daily_metric("leverage", [](korvex::Environment& e) {
        double equity = e.portfolio().total_value();
        return equity != 0 ? bond_market_value(e) / equity : 0.0;
    });

    // Income by source, from the cash journals and what the book holds at the end, less what it
    // held at the saved close when the run resumed; the figures add up to the change of equity
    // (docs/results.md).
    using korvex::CASH_CAUSE;
    struct Opening {
        double market_value = 0, receivable = 0, owed_short = 0, owed_long = 0;
    };
    auto opening = std::make_shared<Opening>();
    env.add_state_restored([opening](korvex::Environment& e) {
        each_position(e, [&](korvex::Position& p) { opening->market_value += p.market_value(); });
        opening->receivable = payment_receivable(e);
        opening->owed_short = repo_owed(e, POSITION_DIRECTION::SHORT);
        opening->owed_long = repo_owed(e, POSITION_DIRECTION::LONG);
    });
    env.add_summary_extra(
        "coupon_income", [](korvex::Environment& e) { return journaled(e, {CASH_CAUSE::COUPON}); });
    env.add_summary_extra("payment_receivable", [opening](korvex::Environment& e) {
        return payment_receivable(e) - opening->receivable;
    });
    env.add_summary_extra("principal_repaid", [](korvex::Environment& e) {
        return journaled(e, {CASH_CAUSE::PRINCIPAL});
    });
    // Borrowed cash in, repaid cash out; what is still borrowed is owed with the interest
    // accrued on it to the last day.
    env.add_summary_extra("repo_interest_paid", [opening](korvex::Environment& e) {
        return repo_owed(e, POSITION_DIRECTION::SHORT) - opening->owed_short -
               journaled(e, {CASH_CAUSE::REPO_BORROWED, CASH_CAUSE::REPO_REPAID});
    });
    env.add_summary_extra("repo_interest_earned", [opening](korvex::Environment& e) {
        return journaled(e, {CASH_CAUSE::REPO_LENT, CASH_CAUSE::REPO_RETURNED}) +
               repo_owed(e, POSITION_DIRECTION::LONG) - opening->owed_long;
    });
    // What the bonds bought came to: sold and repaid, plus what is still held at its price,
    // less what they cost to buy. Principal repaid is capital coming back, so it is here.
    env.add_report_section({.title = "Cash and repo balances",
                            .panels = {{.title = "Balances",
                                        .from_zero = true,
                                        .series = {{"Cash", "cash", "#0f766e"},
                                                   {"Repo borrowed", "repo_borrowed", "#dc2626"},
                                                   {"Repo lent", "repo_lent", "#2563eb"}}}}});
    // Principal repaid is capital coming back, not income: the price P&L already nets it. The
    // bars add up to the change of equity.
    env.add_report_section({.title = "Income by source",
                            .bars = {{"Coupons", "coupon_income"},
                                     {"Receivable", "payment_receivable"},
                                     {"Price", "price_pnl"},
                                     {"Repo interest earned", "repo_interest_earned"},
                                     {"Repo interest paid", "repo_interest_paid", true},
                                     {"Costs", "transaction_costs", true},
                                     {"Overdraft interest", "overdraft_interest", true}}});
    env.add_summary_extra("price_pnl", [opening](korvex::Environment& e) {
        double market_value = 0;
        each_position(e, [&](korvex::Position& p) { market_value += p.market_value(); });
        return journaled(e, {CASH_CAUSE::BOND_BOUGHT, CASH_CAUSE::BOND_SOLD, CASH_CAUSE::BOUGHT,
                             CASH_CAUSE::SOLD, CASH_CAUSE::PRINCIPAL, CASH_CAUSE::OTHER}) +
               market_value - opening->market_value;
    });
}

}  // namespace korvex_mod_bond::results
