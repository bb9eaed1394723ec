// Money in the less common places, on the sample bundle: amortized bonds pledge only what is
// outstanding, a cover of a short pays like a buy, coupon and principal go to the holdings of
// record each, a coupon is not a loss in a position's profit, costs stay counted after a
// position leaves the book.
#include <gtest/gtest.h>

#include <fstream>

#include "bond_run.hpp"
#include "korvex/api.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

const std::filesystem::path& sample() {
    return korvex::testing::generated_bundle(42, make_date(2018, 1, 2), make_date(2023, 12, 29),
                                             150);
}

Config sample_config(const std::string& start, const std::string& end,
                     const std::string& accounts) {
    return korvex::testing::bond_run_config(start, end, accounts, sample());
}

bool priced_today(StrategyContext& ctx, const std::string& id) {
    Bars bars = ctx.day_bars(id);
    return !bars.empty() &&
           bars.datetime(bars.size() - 1) == convert_date_to_int(to_date(ctx.now()));
}

std::string today(StrategyContext& ctx) {
    return format_date(to_date(ctx.now()));
}

// Calls `act` with the context on the given day; buys `units` of `bond` first, when it is priced.
class OnDay : public Strategy {
public:
    OnDay(std::string bond, double units, std::string day,
          std::function<void(StrategyContext&)> act)
        : bond_(std::move(bond)), units_(units), day_(std::move(day)), act_(std::move(act)) {}
    void handle_bar(StrategyContext& ctx) override {
        if (!bought_ && priced_today(ctx, bond_))
            bought_ = api::order_bond(ctx, bond_, units_) != nullptr;
        if (today(ctx) == day_) act_(ctx);
    }

private:
    std::string bond_;
    double units_;
    std::string day_;
    std::function<void(StrategyContext&)> act_;
    bool bought_ = false;
};

double metric(const RunResult& r, const std::string& name, const std::string& day) {
    const auto at = std::find(r.metric_names.begin(), r.metric_names.end(), name);
    for (auto& d : r.daily)
        if (format_date(d.date) == day) return d.metrics[at - r.metric_names.begin()];
    return NAN;
}

}  // namespace

TEST(Money, AmortizedBondsPledgeOnlyTheFaceValueStillOutstanding) {
    // 188001.SH repaid 50 of its 100 on 2021-03-22: 2000 units back 100,000, not 200,000.
    OrderPtr financing;
    LogCapture log;
    OnDay exchange("188001.SH", 2000, "2021-04-08", [&](StrategyContext& ctx) {
        financing = api::exchange_repo_financing(ctx, "204007.SH", 200000, "188001.SH", 1.0);
    });
    RunResult r = korvex::testing::run_bond(
        sample_config("2021-03-24", "2021-04-09", "STOCK = 10000000"), exchange);
    ASSERT_NE(financing, nullptr);
    EXPECT_EQ(financing->filled_quantity(), 100000);
    const auto warnings = log.messages("user_system_log");
    EXPECT_NE(std::find(warnings.begin(), warnings.end(),
                        "Order partly filled: 100000 of 200000 on 204007.SH, limited by the face "
                        "value of closable 188001.SH"),
              warnings.end());
    EXPECT_EQ(metric(r, "pledged_face_value", "2021-04-08"), 100000);

    // 1680001.IB repaid 80 of its 100 by 2022-10-26: 10,000 units back 200,000 at most.
    std::shared_ptr<RepoTrade> too_much, enough;
    OnDay inter_bank("1680001.IB", 10000, "2022-11-01", [&](StrategyContext& ctx) {
        too_much = api::ib_repo(ctx, 7, 1000000, "1680001.IB", 1.0);
        enough = api::ib_repo(ctx, 7, 200000, "1680001.IB", 1.0);
    });
    log.clear();
    korvex::testing::run_bond(sample_config("2022-10-27", "2022-11-02", "BOND = 10000000"),
                              inter_bank);
    EXPECT_EQ(too_much, nullptr);
    EXPECT_EQ(log.messages("user_system_log").front(),
              "Order creation failed: pledging 50000 units of 1680001.IB for 1000000 needs more "
              "than the closable 10000");
    ASSERT_NE(enough, nullptr);
    EXPECT_EQ(enough->pledged_quantity(), 10000);
}

TEST(Money, CouponAndPrincipalGoToTheHoldingsOfRecordEach) {
    // Record day 2021-10-25 (coupon 2.91), payment 2021-10-26 (principal 20): the 10,000 units
    // sold on the record day are owed the coupon, the 8,000 bought that day the principal.
    korvex::testing::TempDir out;
    Config config = sample_config("2021-10-20", "2021-10-27", "BOND = 10000000");
    config.set("base.output_dir", Value(out.path().string()));
    double booked_that_morning = NAN, profit_that_day = NAN;
    OnDay switcher("1680001.IB", 10000, "2021-10-25", [&](StrategyContext& ctx) {
        Position* p = ctx.portfolio()
                          .account(DEFAULT_ACCOUNT_TYPE::BOND)
                          .find_position("1680001.IB", POSITION_DIRECTION::LONG);
        booked_that_morning = p->equity() - p->market_value();
        profit_that_day = p->position_pnl();
        api::order_bond(ctx, "1680001.IB", -10000);
        api::order_bond(ctx, "1680001.IB", 8000);
    });
    korvex::testing::run_bond(config, switcher);
    std::ifstream flows(out.path() / "cash_flows.csv");
    std::map<std::string, std::string> paid;
    for (std::string line; std::getline(flows, line);)
        if (line.rfind("2021-10-26", 0) == 0 && line.find("1680001.IB") != std::string::npos)
            for (const char* cause : {",coupon,", ",principal,"})
                if (line.find(cause) != std::string::npos)
                    paid[cause] = line.substr(line.rfind(',') + 1);
    EXPECT_EQ(paid[",coupon,"], "29100.000000");
    EXPECT_EQ(paid[",principal,"], "160000.000000");
    // The coupon booked that morning is in the day's profit, not lost with the ex-coupon price
    // (which alone moves it by -29,100).
    EXPECT_EQ(booked_that_morning, 29100);
    EXPECT_LT(std::abs(profit_that_day), 10000);
}

TEST(Money, ACoverPaysLikeABuyAndCostsOutliveTheirPositions) {
    // Short 5,000 units of an exchange bond, spend everything, then try to cover.
    OrderPtr cover;
    double cost_after_cover = NAN, cost_two_days_later = NAN;
    std::string bond;
    struct Shorting : Strategy {
        std::function<void(StrategyContext&)> f;
        void handle_bar(StrategyContext& ctx) override { f(ctx); }
    } s;
    int day = 0, sold_on = 0;
    s.f = [&](StrategyContext& ctx) {
        Account& account = ctx.portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK);
        ++day;
        if (day == 1) {
            for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
                if (bond.empty() && ends_with(ins->order_book_id(), ".SH") &&
                    priced_today(ctx, ins->order_book_id()))
                    bond = ins->order_book_id();
            ASSERT_NE(submit_order(ctx.env(), bond, 5000, SIDE::SELL, POSITION_EFFECT::OPEN),
                      nullptr);
        } else if (day == 2 && priced_today(ctx, bond)) {
            // The short's proceeds are spent on the same bond held long.
            api::order_bond_value(ctx, bond, account.cash() * 0.98);
            cover = submit_order(ctx.env(), bond, 5000, SIDE::BUY, POSITION_EFFECT::CLOSE);
        } else if (day >= 3 && !sold_on && priced_today(ctx, bond)) {
            // The long holding is sold and leaves the book that night.
            cost_after_cover = account.transaction_cost();
            if (api::order_bond_target(ctx, bond, 0)) sold_on = day;
        } else if (sold_on && day == sold_on + 2) {
            cost_two_days_later = account.transaction_cost();
        }
    };
    RunResult r =
        korvex::testing::run_bond(sample_config("2019-03-04", "2019-03-29", "STOCK = 1000000"), s);
    EXPECT_EQ(cover, nullptr);  // the cash went into the long bonds
    for (auto& d : r.daily) EXPECT_GE(d.cash, 0) << format_date(d.date);
    EXPECT_GT(cost_after_cover, 0);
    EXPECT_GT(cost_two_days_later, cost_after_cover);  // the sold position's costs still count
}

TEST(Money, RepoInterestAccruesEveryNight) {
    // Seven days lent on Friday 2019-09-27 fall due on Tuesday 10-08, after National Day: 11
    // nights. Each close's equity holds the interest of the nights since the loan.
    std::shared_ptr<RepoTrade> loan;
    struct Lend : Strategy {
        std::shared_ptr<RepoTrade>* loan;
        void handle_bar(StrategyContext& ctx) override {
            if (!*loan) *loan = api::ib_reverse_repo(ctx, 7, 1000000);
        }
    } lend;
    lend.loan = &loan;
    RunResult r = korvex::testing::run_bond(
        sample_config("2019-09-27", "2019-10-08", "BOND = 2000000"), lend);
    ASSERT_NE(loan, nullptr);
    ASSERT_EQ(loan->actual_holding_days(), 11);
    const double interest = loan->due_settlement_amount() - 1000000;
    ASSERT_GT(interest, 0);
    for (std::size_t i = 1; i < r.daily.size(); ++i) {
        const double nights = static_cast<double>((r.daily[i].date - r.daily[i - 1].date).count());
        EXPECT_NEAR(r.daily[i].equity - r.daily[i - 1].equity, interest * nights / 11, 1e-6)
            << format_date(r.daily[i].date);
    }
}
