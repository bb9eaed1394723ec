// A bond's analytics as a strategy reads them, against QuantLib set up here from the bond's
// record and against the bundle's own tables: exchange bonds (priced, no valuation figures in the
// bars) are computed, inter-bank bonds read their valuation rows; before the close only the
// previous day is known.
#include <gtest/gtest.h>

#include "bond_run.hpp"
#include "korvex_mod_bond/api/analytics.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "quantlib_reference.hpp"

using namespace korvex;
using korvex_mod_bond::BondAnalytics;

namespace {

namespace ql = QuantLib;

struct Seen {
    BondAnalytics figures;
    Record record;
    Date day;
};

// On every tenth day, the analytics of every bond priced that day; before each open, that the
// figures read no later than the previous close.
class Reader : public Strategy {
public:
    void before_trading(StrategyContext& ctx) override {
        const Date today = to_date(ctx.now());
        for (const std::string& id : ids_) {
            const BondAnalytics& a = korvex_mod_bond::api::bond_analytics(ctx, id);
            if (a.as_of && *a.as_of >= today) ++looked_ahead;
        }
    }
    void handle_bar(StrategyContext& ctx) override {
        if (day_++ % 10 != 0) return;
        const std::int64_t today = convert_date_to_int(to_date(ctx.now()));
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
            const std::string& id = ins->order_book_id();
            const Bars bars = ctx.day_bars(id);
            if (bars.empty() || bars.datetime(bars.size() - 1) != today) continue;
            ids_.push_back(id);
            seen.push_back(
                {korvex_mod_bond::api::bond_analytics(ctx, id), ins->record(), to_date(ctx.now())});
        }
    }
    std::vector<Seen> seen;
    int looked_ahead = 0;

private:
    int day_ = 0;
    std::vector<std::string> ids_;
};

}  // namespace

TEST(BondAnalytics, ComputedFiguresAgreeWithQuantLibAndValuationsAreTheBundlesRows) {
    Reader reader;
    korvex::testing::run_bond(korvex::testing::bond_run_config("2019-01-02", "2019-06-28",
                                                               "STOCK = 1000000\nBOND = 1000000"),
                              reader);
    EXPECT_EQ(reader.looked_ahead, 0);
    int computed = 0, valued = 0;
    for (const Seen& s : reader.seen) {
        const BondAnalytics& a = s.figures;
        SCOPED_TRACE(a.order_book_id + " on " + format_date(s.day));
        ASSERT_EQ(a.as_of, s.day);
        EXPECT_NEAR(a.clean_price + a.accrued_interest, a.dirty_price, 1e-9);
        if (a.source == "valuation") {
            ++valued;
            continue;
        }
        ASSERT_EQ(a.source, "quantlib");
        if (s.record.contains("amortizing_payments")) continue;  // checked plain bonds only
        ++computed;
        // QuantLib from the record.
        const korvex::testing::ReferenceBond ref = korvex::testing::reference_bond(s.record);
        const ql::Date day = korvex::testing::ql_date(s.day);
        const ql::InterestRate guess = ref.rate(0.03, day);
        const double y =
            ql::BondFunctions::yield(*ref.bond, a.dirty_price, ref.day_counter, guess.compounding(),
                                     ref.frequency, day, 1e-12, 200, 0.03, ql::Bond::Price::Dirty);
        const ql::InterestRate rate = ref.rate(y, day);
        const int frequency = static_cast<int>(s.record.get("coupon_frequency").as_int());
        EXPECT_NEAR(a.ytm, y * 100, 1e-7);
        EXPECT_NEAR(a.accrued_interest, ql::BondFunctions::accruedAmount(*ref.bond, day), 1e-9);
        EXPECT_NEAR(a.modified_duration,
                    ql::BondFunctions::duration(*ref.bond, rate, ql::Duration::Modified, day),
                    1e-7);
        EXPECT_NEAR(a.convexity, ql::BondFunctions::convexity(*ref.bond, rate, day), 1e-6);
        EXPECT_NEAR(a.dv01, a.dirty_price * a.modified_duration * 1e-4, 1e-9);
        EXPECT_EQ(a.outstanding_principal, 100.0);
        // The next coupon is the schedule's next one.
        ASSERT_FALSE(a.cash_flows.empty());
        ASSERT_TRUE(frequency == 0 || a.next_coupon_date.has_value());
    }
    EXPECT_GT(computed, 20);
    EXPECT_GT(valued, 20);
}

namespace {

// The first Shanghai bond traded today (volume above 0) whose analytics are computed.
std::string traded_computed_bond(StrategyContext& ctx) {
    const std::int64_t today = convert_date_to_int(to_date(ctx.now()));
    for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
        const std::string& id = ins->order_book_id();
        const Bars bars = ctx.day_bars(id);
        if (!id.ends_with(".SH") || bars.empty() || bars.datetime(bars.size() - 1) != today ||
            !(bars.get(bars.size() - 1, "volume") > 0))
            continue;
        if (korvex_mod_bond::api::bond_analytics(ctx, id).source == "quantlib") return id;
    }
    return {};
}

// On its second day buys one exchange bond traded that day four times by face, each with a limit
// just through or just short of the close: in clean price and in yield.
class LimitsInBondTerms : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        if (++day_ != 2) return;
        const std::string id = traded_computed_bond(ctx);
        if (id.empty()) return;
        const BondAnalytics& a = korvex_mod_bond::api::bond_analytics(ctx, id);
        close = a.dirty_price;
        namespace api = korvex_mod_bond::api;
        orders = {api::order_bond_face(ctx, id, 10000, {.clean_price = a.clean_price + 0.01}),
                  api::order_bond_face(ctx, id, 10000, {.clean_price = a.clean_price - 0.01}),
                  api::order_bond_face(ctx, id, 10000, {.ytm = a.ytm - 0.01}),
                  api::order_bond_face(ctx, id, 10000, {.ytm = a.ytm + 0.01})};
    }
    std::vector<OrderPtr> orders;
    double close = 0;

private:
    int day_ = 0;
};

}  // namespace

TEST(BondAnalytics, OrdersByFaceWithCleanPriceAndYieldLimits) {
    LimitsInBondTerms s;
    korvex::testing::run_bond(
        korvex::testing::bond_run_config("2019-01-02", "2019-01-10", "STOCK = 10000000"), s);
    ASSERT_EQ(s.orders.size(), 4u) << "no exchange bond traded on the second day";
    for (const auto& o : s.orders) ASSERT_NE(o, nullptr);
    // 10,000 of face is 100 units; through the limit they fill at the close, short of it not.
    EXPECT_EQ(s.orders[0]->filled_quantity(), 100);
    EXPECT_NEAR(s.orders[0]->avg_price(), s.close, 1e-9);
    EXPECT_EQ(s.orders[1]->filled_quantity(), 0);
    EXPECT_EQ(s.orders[2]->filled_quantity(), 100);
    EXPECT_EQ(s.orders[3]->filled_quantity(), 0);
}

namespace {

// Buys 100 units of an exchange bond traded on the second day, at market.
class BuyOnce : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        if (++day_ != 2) return;
        const std::string id = traded_computed_bond(ctx);
        if (id.empty()) return;
        figures = korvex_mod_bond::api::bond_analytics(ctx, id);
        order = korvex_mod_bond::api::order_bond(ctx, id, 100);
    }
    BondAnalytics figures;
    OrderPtr order;

private:
    int day_ = 0;
};

}  // namespace

// Ten basis points of yield against a buy: the price of a yield 0.10% lower, which is, to the
// second order, the close moved by duration and convexity.
TEST(BondAnalytics, SlippageInBasisPointsOfYield) {
    BuyOnce s;
    Config config = korvex::testing::bond_run_config("2019-01-02", "2019-01-10", "STOCK = 1000000");
    config.set("mod.bond.slippage_bps", Value(10.0));
    korvex::testing::run_bond(config, s);
    ASSERT_NE(s.order, nullptr);
    ASSERT_EQ(s.order->filled_quantity(), 100);
    const BondAnalytics& a = s.figures;
    const double dy = 0.001;
    const double expected =
        a.dirty_price * (1 + a.modified_duration * dy + 0.5 * a.convexity * dy * dy);
    EXPECT_NEAR(s.order->avg_price(), expected, 1e-4 * a.dirty_price);
    EXPECT_GT(s.order->avg_price(), a.dirty_price + 0.9 * a.dirty_price * a.modified_duration * dy);
}
