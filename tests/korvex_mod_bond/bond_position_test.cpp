// Bond positions: the variant choice, and the receivable / payment / de-listing sequence of both
// variants over real days.
#include <gtest/gtest.h>

#include <map>

#include "bond_env.hpp"
#include "korvex/errors.hpp"

using namespace bond_test;
using korvex::POSITION_DIRECTION;
using korvex_mod_bond::BondPosition;
using korvex_mod_bond::BondPositionWithImpliedCashFlow;
using korvex_mod_bond::BondPositionWithRealizedCashFlow;

namespace {

// Coupon 3.5 accrued on R1 and paid on P1; final 103.5 accrued on R2 and paid on M.
const Date R1 = make_date(2020, 3, 2), P1 = make_date(2020, 3, 5);
const Date R2 = make_date(2021, 3, 1), M = make_date(2021, 3, 4);

void add_schedules(tavlen::MemoryBackend& client) {
    client.set_implied_cash_flow("190001.IB", implied_table("190001.IB", {{R1, 0.0, 0, 3.5},
                                                                          {P1, 3.5, 0, 0.0},
                                                                          {R2, 0.0, 0, 103.5},
                                                                          {M, 103.5, 100, 0.0}}));
    client.set_realized_cash_flow("019547.SH",
                                  realized_table("019547.SH", {{P1, 3.5, 0}, {M, 103.5, 100}}));
}

struct DayResult {
    double morning_receivable = 0;  // after before_trading
    double cash = 0;                // returned by before_trading and settlement
    double receivable = 0;          // after settlement
    double quantity = 0;
};

// Drives one position over every trading day from `first` to `last`, buying (or, with a
// negative `traded`, selling) at 101 on `trade_day` between the two calls.
std::map<Date, DayResult> walk(BondEnv& env, BondPosition& pos, Date first, Date last,
                               std::optional<Date> trade_day = std::nullopt,
                               double traded = 100) {
    std::map<Date, DayResult> out;
    for (Date day : env.env().data_proxy().get_trading_dates(first, last)) {
        env.at(day);
        DayResult r;
        r.cash += pos.before_trading(day);
        r.morning_receivable = pos.payment_receivable();
        if (trade_day == day)
            pos.apply_trade(*(traded > 0 ? bond_trade(pos.order_book_id(), traded, 101)
                                         : bond_trade(pos.order_book_id(), -traded, 101,
                                                      korvex::SIDE::SELL,
                                                      korvex::POSITION_EFFECT::CLOSE)));
        r.cash += pos.settlement(day);
        r.receivable = pos.payment_receivable();
        r.quantity = pos.quantity();
        out[day] = r;
    }
    return out;
}

double total_cash(const std::map<Date, DayResult>& days) {
    double sum = 0;
    for (auto& [day, r] : days) sum += r.cash;
    return sum;
}

}  // namespace

TEST(BondPosition, VariantFollowsTheMarketAndTheValuationSource) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases{
        {"auto", "190001.IB", false},    {"auto", "019547.SH", true},
        {"auto", "112233.SZ", true},     {"chinabond", "190001.IB", false},
        {"exchange", "190001.IB", true}, {"chinabond", "019547.SH", true}};
    for (const auto& [source, id, realized] : cases) {
        BondEnv env(bond_config(source));
        auto pos = env.env().make_position(id, POSITION_DIRECTION::LONG, 5);
        EXPECT_EQ(dynamic_cast<BondPositionWithRealizedCashFlow*>(pos.get()) != nullptr, realized)
            << source << " " << id;
        EXPECT_EQ(dynamic_cast<BondPositionWithImpliedCashFlow*>(pos.get()) != nullptr, !realized)
            << source << " " << id;
        EXPECT_EQ(pos->quantity(), 5.0);
    }
}

// The holding of record, the one held as the day an amount becomes receivable begins, is
// paid it on the payment day: units bought later get nothing, units sold in between are paid.
TEST(BondPosition, PaysTheHoldingOfRecordOnceOnThePaymentDay) {
    struct Case {
        std::string name;
        std::string id;
        double held;
        std::optional<Date> trade_day;
        double traded;
        std::map<Date, DayResult> expected;  // days not listed move no cash
        double quantity_at_end;
    };
    const Date BETWEEN = make_date(2020, 3, 3);
    const std::vector<Case> cases{
        {"implied, held through maturity",
         "190001.IB",
         100,
         std::nullopt,
         0,
         {{R1, {350, 0, 350, 100}},
          {P1, {350, 350, 0, 100}},
          {R2, {10350, 0, 10350, 100}},
          {M, {10350, 10350, 0, 0}}},
         0},
        {"implied, bought on the record date", "190001.IB", 0, R1, 100,
         {{R1, {0, 0, 0, 100}}, {P1, {0, 0, 0, 100}}}, 100},
        {"implied, bought between record and payment", "190001.IB", 0, BETWEEN, 100,
         {{P1, {0, 0, 0, 100}}}, 100},
        {"implied, bought on the payment day", "190001.IB", 0, P1, 100,
         {{P1, {0, 0, 0, 100}}}, 100},
        {"implied, sold between record and payment", "190001.IB", 100, BETWEEN, -100,
         {{R1, {350, 0, 350, 100}}, {BETWEEN, {350, 0, 350, 0}}, {P1, {350, 350, 0, 0}}}, 0},
        {"realized, held through maturity",
         "019547.SH",
         100,
         std::nullopt,
         0,
         {{P1, {350, 350, 0, 100}}, {M, {10350, 10350, 0, 0}}},
         0},
        {"realized, bought before the payment day", "019547.SH", 0, R1, 100,
         {{P1, {350, 350, 0, 100}}}, 100},
        {"realized, bought on the payment day", "019547.SH", 0, P1, 100,
         {{P1, {0, 0, 0, 100}}}, 100},
        {"realized, sold on the payment day", "019547.SH", 100, P1, -100,
         {{P1, {350, 350, 0, 0}}}, 0},
    };
    for (const auto& c : cases) {
        BondEnv env;
        add_schedules(env.client());
        auto pos = env.bond_position(c.id, c.held);
        const Date last = c.held != 0 && c.traded == 0 ? make_date(2021, 3, 10)
                                                        : make_date(2020, 3, 10);
        auto days = walk(env, *pos, make_date(2020, 2, 27), last, c.trade_day, c.traded);
        double expected_cash = 0;
        for (const auto& [day, e] : c.expected) {
            const DayResult& r = days.at(day);
            const std::string at = c.name + " on " + korvex::format_date(day);
            EXPECT_EQ(r.morning_receivable, e.morning_receivable) << at;
            EXPECT_EQ(r.cash, e.cash) << at;
            EXPECT_EQ(r.receivable, e.receivable) << at;
            EXPECT_EQ(r.quantity, e.quantity) << at;
            expected_cash += e.cash;
        }
        EXPECT_EQ(total_cash(days), expected_cash) << c.name;
        EXPECT_EQ(pos->quantity(), c.quantity_at_end) << c.name;
        // Nothing owed is left behind in an emptied position.
        EXPECT_EQ(pos->is_empty(), c.quantity_at_end == 0) << c.name;
    }
}

// Buying on the first payment day and holding to the second earns one period's coupon, once.
TEST(BondPosition, ABuyOnAPaymentDayEarnsTheNextCouponOnce) {
    const Date R3 = make_date(2020, 9, 2), P3 = make_date(2020, 9, 4);
    BondEnv env;
    env.client().set_implied_cash_flow(
        "190001.IB", implied_table("190001.IB", {{R1, 0.0, 0, 3.5},
                                                 {P1, 3.5, 0, 0.0},
                                                 {R3, 0.0, 0, 3.5},
                                                 {P3, 3.5, 0, 0.0}}));
    auto pos = env.bond_position("190001.IB", 0);
    auto days = walk(env, *pos, make_date(2020, 2, 27), make_date(2020, 9, 10), P1);
    EXPECT_EQ(total_cash(days), 350.0);
    EXPECT_EQ(days.at(P3).cash, 350.0);
    EXPECT_EQ(pos->payment_receivable(), 0.0);
}

// A short holding owes what a long one is owed.
TEST(BondPosition, AShortHoldingPaysTheCouponsAndPrincipal) {
    BondEnv env;
    add_schedules(env.client());
    auto pos = env.env().make_position("019547.SH", POSITION_DIRECTION::SHORT, 100);
    auto* bond = dynamic_cast<BondPosition*>(pos.get());
    ASSERT_NE(bond, nullptr);
    auto days = walk(env, *bond, make_date(2020, 2, 27), make_date(2021, 3, 10));
    EXPECT_EQ(days.at(P1).cash, -350.0);
    EXPECT_EQ(days.at(M).cash, -10350.0);
    EXPECT_EQ(bond->quantity(), 0.0);
}

// What becomes receivable counts once: the price from before the day, which still held it,
// falls by it.
TEST(BondPosition, EquityCountsTheReceivableOnce) {
    BondEnv env;
    add_schedules(env.client());
    auto pos = env.bond_position("190001.IB", 100);
    pos->update_last_price(101);
    env.at(R1);
    pos->before_trading(R1);
    EXPECT_DOUBLE_EQ(pos->equity(), 100 * 101);
    EXPECT_DOUBLE_EQ(pos->payment_receivable(), 350);
    EXPECT_DOUBLE_EQ(pos->last_price(), 97.5);
}

TEST(BondPosition, ABondWithoutCashFlowsNeverPaysNorDeLists) {
    BondEnv env;
    auto pos = env.bond_position("190002.IB", 100);
    auto days = walk(env, *pos, make_date(2020, 1, 2), make_date(2021, 12, 31));
    EXPECT_EQ(total_cash(days), 0.0);
    EXPECT_EQ(pos->payment_receivable(), 0.0);
    EXPECT_EQ(pos->quantity(), 100.0);
}

TEST(BondPosition, RealizedDeListsWhenCumulativePrincipalReachesTheIssuePrice) {
    const std::vector<std::tuple<double, bool>> cases{{99.99, false}, {100, true}, {100.5, true}};
    for (auto [cum, de_listed] : cases) {
        BondEnv env(bond_config("exchange"));
        env.client().set_realized_cash_flow(
            "190001.IB", realized_table("190001.IB", {{P1, 3.5, 0}, {M, 103.5, cum}}));
        auto pos = env.bond_position("190001.IB");
        EXPECT_EQ(pos->_get_cash_flow(P1), std::make_pair(3.5, false));
        EXPECT_EQ(pos->_get_cash_flow_receivable(P1), 3.5);
        EXPECT_EQ(pos->_get_cash_flow(M), std::make_pair(103.5, de_listed)) << cum;
        EXPECT_EQ(pos->_get_cash_flow(make_date(2020, 3, 6)), std::make_pair(0.0, false));
        EXPECT_EQ(pos->_get_cash_flow_receivable(make_date(2020, 3, 6)), 0.0);
    }
}

// A payment day makes receivable what the rows since the previous payment left of it: all of
// it when they made nothing receivable, whatever is receivable already.
TEST(BondPosition, ImpliedReceivableCompletesEachPaymentOnce) {
    struct Case {
        std::string name;
        Date day;
        double already_receivable;
        double receivable;
    };
    const Date BOTH = make_date(2020, 9, 1), ALONE = make_date(2020, 12, 1);
    const std::vector<Case> cases{
        {"accrual day", R1, 0, 3.5},
        {"payment day, accrued before", P1, 350, 0.0},
        {"payment day, nothing accrued", P1, 0, 0.0},
        {"payment and receivable on one row", BOTH, 350, 2.0},
        {"payment without receivable rows", ALONE, 0, 1.5},
        {"day without a row", make_date(2020, 3, 3), 0, 0.0},
    };
    for (const auto& c : cases) {
        BondEnv env;
        env.client().set_implied_cash_flow(
            "190001.IB", implied_table("190001.IB", {{R1, 0.0, 0, 3.5},
                                                     {P1, 3.5, 0, 0.0},
                                                     {BOTH, 2.0, 0, 1.25},
                                                     {ALONE, 1.5, 0, 0.0}}));
        auto pos = env.bond_position("190001.IB", 100);
        korvex::State state = pos->get_state();
        state["payment_receivable"] = c.already_receivable;
        pos->set_state(state);
        EXPECT_EQ(pos->_get_cash_flow_receivable(c.day), c.receivable) << c.name;
    }
}

TEST(BondPosition, AnEmptyIssuePriceIsAnErrorOnlyOnAPaymentDay) {
    BondEnv env;
    env.client().set_implied_cash_flow("190009.IB",
                                       implied_table("190009.IB", {{P1, 3.5, 0, 0.0}}));
    auto pos = env.bond_position("190009.IB", 100);
    EXPECT_EQ(pos->settlement(make_date(2020, 3, 4)), 0.0);
    try {
        pos->settlement(P1);
        FAIL() << "no error";
    } catch (const korvex::ValueError& e) {
        EXPECT_STREQ(e.what(),
                     "bond 190009.IB has an empty issue_price: cannot tell whether its principal "
                     "is repaid");
    }
}

TEST(BondPosition, AMaturedHoldingLeavesTheAccountWithItsCashPaidIn) {
    BondEnv env;
    add_schedules(env.client());
    for (const std::string id : {"190001.IB", "019547.SH"}) {
        korvex::Account& account = env.env().portfolio().account_for(id);
        const double cash_before = account.cash();
        const Date first = make_date(2020, 2, 3);
        env.at(first);
        account.before_trading(first);
        account.apply_trade(*bond_trade(id, 100, 100));
        account.settlement(first);
        for (Date day : env.env().data_proxy().get_trading_dates(first + std::chrono::days(1), M)) {
            env.at(day);
            account.before_trading(day);
            account.settlement(day);
            if (day < M) {
                ASSERT_NE(account.find_position(id, POSITION_DIRECTION::LONG), nullptr) << id;
            }
        }
        EXPECT_EQ(account.find_position(id, POSITION_DIRECTION::LONG), nullptr) << id;
        EXPECT_DOUBLE_EQ(account.cash(), cash_before - 10000 + 350 + 10350) << id;
    }
}

TEST(BondPosition, APaymentOnADayTheRunSkipsIsPaidOnItsNextTradingDay) {
    // A coupon on a Saturday and the final payment on a Sunday, in both variants.
    const Date saturday = make_date(2020, 3, 7), sunday = make_date(2021, 3, 7);
    BondEnv env;
    env.client().set_realized_cash_flow(
        "019547.SH", realized_table("019547.SH", {{saturday, 3.5, 0}, {sunday, 103.5, 100}}));
    env.client().set_implied_cash_flow(
        "190001.IB", implied_table("190001.IB", {{saturday, 3.5, 0, 0}, {sunday, 103.5, 100, 0}}));
    for (const std::string id : {"019547.SH", "190001.IB"}) {
        auto pos = env.bond_position(id, 100);
        auto days = walk(env, *pos, make_date(2020, 3, 2), make_date(2021, 3, 10));
        EXPECT_EQ(days.at(make_date(2020, 3, 9)).morning_receivable, 350) << id;
        EXPECT_EQ(days.at(make_date(2020, 3, 9)).cash, 350) << id;
        EXPECT_EQ(days.at(make_date(2021, 3, 5)).quantity, 100) << id;
        EXPECT_EQ(days.at(make_date(2021, 3, 8)).cash, 10350) << id;
        EXPECT_EQ(days.at(make_date(2021, 3, 8)).quantity, 0) << id;
        EXPECT_EQ(total_cash(days), 350 + 10350) << id;
    }
}

TEST(BondPosition, ASoldHoldingWithAnOpenReceivableStaysInTheAccount) {
    BondEnv env;
    add_schedules(env.client());
    korvex::Account& account = env.bond_account();
    account.apply_trade(*bond_trade("190001.IB", 100, 100));
    env.at(R1);
    account.before_trading(R1);
    account.apply_trade(
        *bond_trade("190001.IB", 100, 100, korvex::SIDE::SELL, korvex::POSITION_EFFECT::CLOSE));
    account.settlement(R1);
    auto* pos =
        dynamic_cast<BondPosition*>(account.find_position("190001.IB", POSITION_DIRECTION::LONG));
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(pos->quantity(), 0.0);
    EXPECT_EQ(pos->payment_receivable(), 350.0);
    EXPECT_FALSE(pos->is_empty());
}

TEST(BondPosition, AReceivableSettledUpToRoundingNoiseIsSettled) {
    // 0.1 x 1300 + 100 x 1300 - 100.1 x 1300 is not 0 in binary floating point.
    BondEnv env;
    env.client().set_implied_cash_flow(
        "190002.IB", implied_table("190002.IB", {{R1, 0.0, 0, 0.1}, {P1, 100.1, 100, 100}}));
    korvex::Account& account = env.bond_account();
    const double cash = account.cash();
    account.apply_trade(*bond_trade("190002.IB", 1300, 100));
    for (Date day : env.env().data_proxy().get_trading_dates(R1, P1)) {
        env.at(day);
        account.before_trading(day);
        account.settlement(day);
    }
    EXPECT_EQ(account.find_position("190002.IB", POSITION_DIRECTION::LONG), nullptr);
    EXPECT_DOUBLE_EQ(account.cash(), cash - 130000 + 100.1 * 1300);
}

TEST(BondPosition, AStalePriceFallsByWhatIsPaidUntilTheBondTradesAgain) {
    BondEnv env;
    add_schedules(env.client());
    auto pos = env.bond_position("019547.SH", 100);
    // Last traded a week before the coupon day: that price still holds the coupon.
    pos->update_last_price(104.0, P1 - std::chrono::days(7));
    env.at(P1);
    pos->before_trading(P1);
    EXPECT_DOUBLE_EQ(pos->settlement(P1), 350.0);
    EXPECT_DOUBLE_EQ(pos->last_price(), 104.0 - 3.5);
    // Cash came in and the holding's value went down by the same amount.
    EXPECT_DOUBLE_EQ(pos->equity() + 350.0, 100 * 104.0);
    // The old bar seen again the next day does not undo it; a new bar does.
    pos->update_last_price(104.0, P1 - std::chrono::days(7));
    EXPECT_DOUBLE_EQ(pos->last_price(), 100.5);
    pos->update_last_price(100.8, P1 + std::chrono::days(1));
    EXPECT_DOUBLE_EQ(pos->last_price(), 100.8);
}

TEST(BondPosition, APriceFromTodaysBarIsAlreadyExCoupon) {
    BondEnv env;
    add_schedules(env.client());
    auto pos = env.bond_position("019547.SH", 100);
    env.at(P1);
    pos->before_trading(P1);
    pos->update_last_price(100.6, P1);
    pos->settlement(P1);
    EXPECT_DOUBLE_EQ(pos->last_price(), 100.6);
}
