#include "korvex_mod_bond/results.hpp"

#include <cmath>

#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/trade.hpp"

namespace korvex_mod_bond::results {

namespace {

using korvex::POSITION_DIRECTION;

template <class F>
void each_position(korvex::Environment& env, F&& f) {
    for (auto& [type, account] : env.portfolio().accounts())
        for (auto& p : account->positions()) f(*p);
}

// Today's analytic of a bond: from the bar the run reads, or, when that source has none
// (exchange prices carry no duration), from the Chinabond valuation. NaN when neither has it.
double bar_field(korvex::Environment& env, korvex::AbstractDayBarStore& valuations,
                 const std::string& id, const char* field) {
    const std::int64_t today = korvex::convert_date_to_int(korvex::to_date(env.calendar_dt));
    auto read = [&](const korvex::Bars& bars) {
        if (bars.empty() || !bars.layout()->find(field)) return std::nan("");
        std::size_t i = bars.find_at_or_before(today);
        return i == korvex::Bars::npos ? std::nan("") : bars.get(i, field);
    };
    double v = read(env.data_proxy().day_bars(id));
    if (std::isfinite(v)) return v;
    try {
        return read(valuations.get_bars(id));
    } catch (const korvex::Error&) {
        return std::nan("");  // no valuations to be had: the column stays without this bond
    }
}

double bond_market_value(korvex::Environment& env) {
    double mv = 0;
    each_position(env, [&](korvex::Position& p) {
        if (dynamic_cast<BondPosition*>(&p)) mv += p.market_value();
    });
    return mv;
}

// Interest of the repo trades settled by the end of the run: what was repaid minus what was lent.
double repo_interest(korvex::Environment& env, korvex::SIDE side) {
    double total = 0;
    korvex::Date end = korvex::to_date(env.calendar_dt);
    for (auto& t : env.trades()) {
        auto* repo = dynamic_cast<const RepoTrade*>(t.get());
        if (repo && repo->side() == side && repo->due_settlement_date() <= end)
            total += repo->due_settlement_amount() - repo->last_quantity();
    }
    return total;
}

}  // namespace

void load(korvex::Environment& env, std::shared_ptr<CashFlowSchedules> schedules) {
    auto valuations = std::make_shared<ChinabondBondDayBarStore>();
    env.add_daily_metric("payment_receivable", [](korvex::Environment& e) {
        double r = 0;
        each_position(e, [&](korvex::Position& p) {
            if (auto* b = dynamic_cast<BondPosition*>(&p)) r += b->payment_receivable();
        });
        return r;
    });
    env.add_daily_metric("repo_borrowed", [](korvex::Environment& e) {
        double q = 0;
        each_position(e, [&](korvex::Position& p) {
            if (dynamic_cast<RepoPosition*>(&p) && p.direction() == POSITION_DIRECTION::SHORT)
                q += p.quantity();
        });
        return q;
    });
    env.add_daily_metric("repo_lent", [](korvex::Environment& e) {
        double q = 0;
        each_position(e, [&](korvex::Position& p) {
            if (dynamic_cast<RepoPosition*>(&p) && p.direction() == POSITION_DIRECTION::LONG)
                q += p.quantity();
        });
        return q;
    });
    env.add_daily_metric("pledged_face_value", [](korvex::Environment& e) {
        double v = 0;
        each_position(e, [&](korvex::Position& p) {
            if (auto* b = dynamic_cast<BondPosition*>(&p))
                v += b->pledged_quantity() * b->instrument().issue_price().value_or(0.0);
        });
        return v;
    });
    env.add_daily_metric("dv01", [valuations](korvex::Environment& e) {
        double v = 0;
        each_position(e, [&](korvex::Position& p) {
            if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
            double d = bar_field(e, *valuations, p.order_book_id(), "dv01");
            if (std::isfinite(d)) v += d * p.quantity() * korvex::direction_factor(p.direction());
        });
        return v;
    });
    env.add_daily_metric("modified_duration", [valuations](korvex::Environment& e) {
        double weighted = 0, mv = 0;
        each_position(e, [&](korvex::Position& p) {
            if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
            double d = bar_field(e, *valuations, p.order_book_id(), "modified_duration");
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

    env.add_summary_extra("coupon_income", [schedules](korvex::Environment&) {
        return schedules->income.cash_flow - schedules->income.principal;
    });
    env.add_summary_extra("principal_income", [schedules](korvex::Environment&) {
        return schedules->income.principal;
    });
    env.add_summary_extra("repo_interest_paid", [](korvex::Environment& e) {
        return repo_interest(e, korvex::SIDE::FINANCING);
    });
    env.add_summary_extra("repo_interest_earned", [](korvex::Environment& e) {
        return repo_interest(e, korvex::SIDE::MARGIN);
    });
    // What is left of the profit once coupons, repo interest and costs are taken out: the
    // change in the bonds' value (principal repaid moves value into cash and nets out here).
    env.add_summary_extra("price_pnl", [schedules](korvex::Environment& e) {
        double costs = 0;
        for (auto& t : e.trades()) costs += t->transaction_cost();
        double pnl = e.portfolio().total_value() - e.portfolio().starting_cash();
        double coupons = schedules->income.cash_flow - schedules->income.principal;
        return pnl - coupons + repo_interest(e, korvex::SIDE::FINANCING) -
               repo_interest(e, korvex::SIDE::MARGIN) + costs;
    });
}

}  // namespace korvex_mod_bond::results
