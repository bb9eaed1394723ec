// The attribution of a bond held day after day, against figures computed here from the bundle's
// tables: QuantLib prices the carry at the previous close's yield, and the roll-down and rates
// terms come from the treasury curve's points read and interpolated here, with the previous
// close's duration and convexity.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "bond_run.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/book_history.hpp"
#include "quantlib_reference.hpp"
#include "tavlen/bond.hpp"

using namespace korvex;

namespace {

namespace ql = QuantLib;

struct Close {
    double quantity, dirty, ytm, duration, convexity, years;
};

// Buys one plain inter-bank bond with years to run on the first day and notes every close.
class HoldOne : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        const std::int64_t today = convert_date_to_int(to_date(ctx.now()));
        if (id.empty()) {
            for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
                const Record& r = ins->record();
                const Bars bars = ctx.day_bars(ins->order_book_id());
                if (!ins->order_book_id().ends_with(".IB") || r.contains("amortizing_payments") ||
                    r.get("coupon_frequency").as_int() != 1 || bars.empty() ||
                    bars.datetime(bars.size() - 1) != today ||
                    to_date(r.get("maturity_date").as_datetime()) <
                        to_date(ctx.now()) + std::chrono::days(3 * 365))
                    continue;
                id = ins->order_book_id();
                record = r;
                korvex_mod_bond::api::order_bond(ctx, id, 10000);
                return;
            }
            return;
        }
        const Bars bars = ctx.day_bars(id);
        const std::size_t last = bars.size() - 1;
        if (bars.datetime(last) != today) return;
        const Position* p = ctx.portfolio()
                                .account(DEFAULT_ACCOUNT_TYPE::BOND)
                                .find_position(id, POSITION_DIRECTION::LONG);
        closes[to_date(ctx.now())] = {
            p ? p->quantity() : 0.0,     bars.get(last, "close"),
            bars.get(last, "ytm"),       bars.get(last, "modified_duration"),
            bars.get(last, "convexity"), bars.get(last, "t")};
    }
    std::string id;
    Record record;
    std::map<Date, Close> closes;
};

// The curve's yield on `day` at `years`, linear between its points, flat beyond them.
double curve_at(const tavlen::YieldCurve& curve, Date day, double years) {
    std::vector<std::pair<double, double>> points;
    for (std::size_t i = 0; i < curve.size(); ++i)
        if (curve.dates[i] == day) points.emplace_back(curve.tenors[i], curve.yields[i]);
    EXPECT_FALSE(points.empty()) << format_date(day);
    std::sort(points.begin(), points.end());
    if (years <= points.front().first) return points.front().second;
    for (std::size_t i = 1; i < points.size(); ++i)
        if (years <= points[i].first) {
            const auto [t0, y0] = points[i - 1];
            const auto [t1, y1] = points[i];
            return y0 + (y1 - y0) * (years - t0) / (t1 - t0);
        }
    return points.back().second;
}

}  // namespace

TEST(BookHistory, OneBondsCarryRollDownAndRatesAgreeWithQuantLibAndTheCurve) {
    HoldOne strategy;
    const RunResult r = korvex::testing::run_bond(
        korvex::testing::bond_run_config("2019-01-02", "2019-06-28", "BOND = 10000000"), strategy);
    ASSERT_FALSE(strategy.id.empty());
    tavlen::set_backend(
        std::make_shared<tavlen::SqliteBackend>(korvex::testing::bond_bundle() / "tavlen.sqlite"));
    const auto curve = tavlen::bond::get_yield_curve("treasury", {"20190101", "20191231"});
    tavlen::set_backend(nullptr);
    ASSERT_TRUE(curve);
    const korvex::testing::ReferenceBond ref = korvex::testing::reference_bond(strategy.record);
    auto column = [&](std::string_view name) {
        const auto it = std::find(r.metric_names.begin(), r.metric_names.end(), name);
        EXPECT_NE(it, r.metric_names.end()) << name;
        return static_cast<std::size_t>(it - r.metric_names.begin());
    };
    const std::size_t carry = column("pnl_carry"), roll = column("pnl_roll_down"),
                      rates = column("pnl_rates"), dv01 = column("dv01");
    std::size_t checked = 0;
    for (std::size_t i = 1; i < r.daily.size(); ++i) {
        const Date d0 = r.daily[i - 1].date, d1 = r.daily[i].date;
        const auto c0 = strategy.closes.find(d0), c1 = strategy.closes.find(d1);
        if (c0 == strategy.closes.end() || c1 == strategy.closes.end() || c0->second.quantity == 0)
            continue;
        const ql::Date q0 = korvex::testing::ql_date(d0), q1 = korvex::testing::ql_date(d1);
        if (std::any_of(ref.bond->cashflows().begin(), ref.bond->cashflows().end(),
                        [&](const auto& cf) { return cf->date() > q0 && cf->date() <= q1; }))
            continue;  // a payment between: the price steps by it
        const Close& a = c0->second;
        const Close& b = c1->second;
        SCOPED_TRACE(strategy.id + " on " + format_date(d1));
        const double y = a.ytm / 100;
        const double expected_carry =
            a.quantity * (ql::BondFunctions::dirtyPrice(*ref.bond, ref.rate(y, q1), q1) -
                          ql::BondFunctions::dirtyPrice(*ref.bond, ref.rate(y, q0), q0));
        auto move = [&](double dy_percent) {
            const double dy = dy_percent / 100;
            return a.quantity * a.dirty * (-a.duration * dy + 0.5 * a.convexity * dy * dy);
        };
        const double then = curve_at(*curve, d0, b.years);
        EXPECT_NEAR(r.daily[i].metrics[carry], expected_carry, 1e-6);
        EXPECT_NEAR(r.daily[i].metrics[roll], move(then - curve_at(*curve, d0, a.years)), 1e-6);
        EXPECT_NEAR(r.daily[i].metrics[rates], move(curve_at(*curve, d1, b.years) - then), 1e-6);
        // The key rates share out the whole DV01.
        double key_rates = 0;
        for (double years : korvex_mod_bond::KEY_RATE_YEARS)
            key_rates += r.daily[i].metrics[column(fmt::format("key_rate_dv01_{}y", years))];
        EXPECT_NEAR(key_rates, r.daily[i].metrics[dv01], 1e-6);
        ++checked;
    }
    EXPECT_GT(checked, 80u);
}
