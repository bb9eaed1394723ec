// Repo trades: terms, due dates, amounts and the four factories.
#include "korvex_mod_bond/trade.hpp"

#include <gtest/gtest.h>

#include "bond_env.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/utils.hpp"

using namespace bond_test;
using korvex::POSITION_DIRECTION;
using korvex::SIDE;
using korvex::Value;
using korvex_mod_bond::RepoTrade;

TEST(RepoTrade, FridayOneDayFinancingSettlesMondayOverThreeDays) {
    korvex::Config config = bond_config();
    config.set("mod.bond.ib_repo_commission_rate", Value(0.0001));
    BondEnv env(config);
    env.at(make_date(2020, 1, 3));
    auto t = RepoTrade::create_repo_trade(0.02, 100000, "R001.IB", 1, 0.9, "190001.IB", 1000);
    EXPECT_EQ(t->due_settlement_date(), make_date(2020, 1, 6));
    EXPECT_EQ(t->actual_holding_days(), 3);
    EXPECT_EQ(t->last_quantity(), 90000.0);
    EXPECT_DOUBLE_EQ(t->due_settlement_amount(), 90000 * (1 + 0.02 / 365 * 3));
    EXPECT_DOUBLE_EQ(t->commission(), 9.0);
    EXPECT_DOUBLE_EQ(t->transaction_cost(), 9.0);
    EXPECT_EQ(t->repo_period(), 1);
    EXPECT_EQ(t->haircut(), 0.9);
    EXPECT_EQ(t->pledged_quantity(), 1000.0);
    EXPECT_EQ(t->bond_id(), "190001.IB");
    EXPECT_EQ(t->coupon_value(), 100.0);
    EXPECT_EQ(t->last_price(), 0.02);
    EXPECT_EQ(t->side(), SIDE::FINANCING);
    EXPECT_EQ(t->position_direction(), POSITION_DIRECTION::SHORT);
    EXPECT_EQ(t->position_effect(), korvex::POSITION_EFFECT::OPEN);
    EXPECT_EQ(t->order_book_id(), "R001.IB");
    EXPECT_EQ(t->order_id(), std::nullopt);
}

TEST(RepoTrade, DueDateAndHoldingDaysFollowTheCalendar) {
    struct Case {
        std::string name;
        Date trading, calendar;
        std::string repo;
        Value repo_period;
        Date due;
        std::int64_t holding_days;
    };
    const std::vector<Case> cases{
        {"a trading day stays", make_date(2020, 1, 6), make_date(2020, 1, 6), "R001.IB", 1,
         make_date(2020, 1, 7), 1},
        {"a holiday moves to the next trading day", make_date(2019, 12, 31),
         make_date(2019, 12, 31), "R001.IB", 1, make_date(2020, 1, 2), 2},
        {"term 0 is the repo's own", make_date(2020, 1, 3), make_date(2020, 1, 3), "R007.IB", 0,
         make_date(2020, 1, 10), 7},
        {"an empty term is the repo's own", make_date(2020, 1, 3), make_date(2020, 1, 3), "R007.IB",
         Value(), make_date(2020, 1, 10), 7},
        {"a given term wins", make_date(2020, 1, 3), make_date(2020, 1, 3), "R007.IB", 14,
         make_date(2020, 1, 17), 14},
        {"term from the trading date, days from the calendar date", make_date(2020, 1, 6),
         make_date(2020, 1, 3), "R001.IB", 1, make_date(2020, 1, 7), 4},
    };
    BondEnv env;
    for (const auto& c : cases) {
        env.env().trading_dt = korvex::DateTime(c.trading) + std::chrono::hours(10);
        env.env().calendar_dt = korvex::DateTime(c.calendar) + std::chrono::hours(21);
        auto t = RepoTrade::from_create(std::nullopt, 0.0365, 1000, SIDE::MARGIN, c.repo,
                                        {{"repo_period", c.repo_period}});
        EXPECT_EQ(t->due_settlement_date(), c.due) << c.name;
        EXPECT_EQ(t->actual_holding_days(), c.holding_days) << c.name;
        EXPECT_DOUBLE_EQ(t->due_settlement_amount(),
                         1000 * (1 + 0.0365 / 365 * static_cast<double>(c.holding_days)))
            << c.name;
    }
}

TEST(RepoTrade, LendingNamesNoBondAndDefaultsTheTerms) {
    BondEnv env;
    auto t = RepoTrade::from_create(std::nullopt, 0.02, 5000, SIDE::MARGIN, "R001.IB",
                                    {{"bond_id", "190001.IB"}, {"unknown", 3}});
    EXPECT_EQ(t->bond_id(), "");
    EXPECT_EQ(t->coupon_value(), 0.0);
    EXPECT_EQ(t->haircut(), 1.0);
    EXPECT_EQ(t->pledged_quantity(), 0.0);
    EXPECT_EQ(t->last_quantity(), 5000.0);
    EXPECT_EQ(t->position_direction(), POSITION_DIRECTION::LONG);
    EXPECT_FALSE(t->has_attr("unknown"));
}

TEST(RepoTrade, ExchangeFactoriesCarryTheOrderAndTheRepoTerm) {
    BondEnv env;
    env.at(make_date(2020, 1, 3));
    auto fin = RepoTrade::create_exchange_repo_trade(7, 0.03, 100000, "204007.SH", /*hairbut=*/0.8,
                                                     "019547.SH", 900);
    EXPECT_EQ(fin->order_id(), 7);
    EXPECT_EQ(fin->side(), SIDE::FINANCING);
    EXPECT_EQ(fin->haircut(), 0.8);
    EXPECT_EQ(fin->last_quantity(), 80000.0);
    EXPECT_EQ(fin->repo_period(), 7);
    EXPECT_EQ(fin->due_settlement_date(), make_date(2020, 1, 10));
    EXPECT_DOUBLE_EQ(fin->commission(), 80000 * 0.00005);
    EXPECT_EQ(fin->bond_id(), "019547.SH");
    EXPECT_EQ(fin->pledged_quantity(), 900.0);

    auto lend = RepoTrade::create_exchange_reverse_repo_trade(8, 0.025, 50000, "131810.SZ");
    EXPECT_EQ(lend->order_id(), 8);
    EXPECT_EQ(lend->side(), SIDE::MARGIN);
    EXPECT_EQ(lend->position_direction(), POSITION_DIRECTION::LONG);
    EXPECT_EQ(lend->last_quantity(), 50000.0);
    EXPECT_EQ(lend->due_settlement_date(), make_date(2020, 1, 6));
    EXPECT_DOUBLE_EQ(lend->commission(), 0.5);

    auto ib_lend = RepoTrade::create_reverse_repo_trade(0.02, 30000, "R007.IB", std::nullopt);
    EXPECT_EQ(ib_lend->order_id(), std::nullopt);
    EXPECT_EQ(ib_lend->repo_period(), 7);
    EXPECT_EQ(ib_lend->position_effect(), korvex::POSITION_EFFECT::OPEN);
}

TEST(RepoTrade, APledgedBondWithAnEmptyIssuePriceHasNoCouponValue) {
    BondEnv env;
    auto t = RepoTrade::create_repo_trade(0.02, 1000, "R001.IB", 1, 1.0, "190009.IB", 10);
    EXPECT_EQ(t->coupon_value(), std::nullopt);
}

TEST(RepoTrade, RefusesWhatItCannotBuildNamingIt) {
    struct Case {
        std::string name;
        std::function<void()> create;
        std::string message;
    };
    const std::vector<Case> cases{
        {"unknown repo", [] { RepoTrade::create_reverse_repo_trade(0.02, 1000, "R999.IB", 1); },
         "unknown order book id: R999.IB"},
        {"unknown pledged bond",
         [] { RepoTrade::create_repo_trade(0.02, 1000, "R001.IB", 1, 1.0, "999999.IB", 10); },
         "unknown order book id: 999999.IB"},
        {"financing without bond",
         [] { RepoTrade::from_create(std::nullopt, 0.02, 1000, SIDE::FINANCING, "R001.IB"); },
         "unknown order book id: "},
        {"pledging a stock",
         [] { RepoTrade::create_repo_trade(0.02, 1000, "R001.IB", 1, 1.0, "000001.XSHE", 10); },
         "pledged bond 000001.XSHE: its instrument is Instrument, not BondInstrument"},
        {"a stock as repo",
         [] { RepoTrade::create_reverse_repo_trade(0.02, 1000, "000001.XSHE", std::nullopt); },
         "repo trade on 000001.XSHE: its instrument is Instrument, not RepoInstrument"},
        {"no term anywhere",
         [] { RepoTrade::create_exchange_reverse_repo_trade(1, 0.02, 1000, "204000.SH"); },
         "repo 204000.SH has no repo_period and the trade gives none: no due date"},
        {"fractional term",
         [] {
             RepoTrade::from_create(std::nullopt, 0.02, 1000, SIDE::MARGIN, "R001.IB",
                                    {{"repo_period", 1.5}});
         },
         "repo_period of a R001.IB trade must be a whole number of days, got float 1.5"},
    };
    BondEnv env;
    for (const auto& c : cases) {
        try {
            c.create();
            ADD_FAILURE() << c.name << ": no error";
        } catch (const korvex::Error& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
    }
}
