// A run built by hand for the report tests: two accounts, repo balance columns with the sections
// a mod adds for them, trades with repo terms, and a summary with income by source.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "korvex/environment.hpp"
#include "korvex/report.hpp"
#include "korvex_test_support.hpp"

namespace korvex::testing {

struct SampleRun {
    RunResult result;
    State summary;
};

// `days` weekdays from 2021-03-01; equity rises, falls 3% and recovers.
inline SampleRun sample_run(std::size_t days = 40, bool repo_columns = true) {
    using namespace std::chrono;
    SampleRun s;
    std::vector<Date> dates = weekdays(sys_days(2021y / March / 1), sys_days(2040y / 1 / 1));
    dates.resize(days);
    if (repo_columns) {
        s.result.metric_names = {"repo_borrowed", "repo_lent", "leverage"};
        s.result.report_sections = {
            {.title = "Cash and repo balances",
             .panels = {{.title = "Balances",
                         .from_zero = true,
                         .series = {{"Cash", "cash", "#0f766e"},
                                    {"Repo borrowed", "repo_borrowed", "#dc2626"},
                                    {"Repo lent", "repo_lent", "#2563eb"},
                                    {"Absent", "no_such_column", "#000000"}}}}},
            {.title = "Income by source",
             .bars = {{"Coupons", "coupon_income"},
                      {"Principal", "principal_repaid"},
                      {"Repo interest earned", "repo_interest_earned"},
                      {"Repo interest paid", "repo_interest_paid", true},
                      {"Costs", "transaction_costs", true}}}};
    }
    for (std::size_t i = 0; i < days; ++i) {
        double t = static_cast<double>(i);
        double equity =
            1e6 + 800 * t - (i >= days / 2 ? 30000 : 0) + (i >= 3 * days / 4 ? 25000 : 0);
        DailyRecord r;
        r.date = dates[i];
        r.accounts = {{DEFAULT_ACCOUNT_TYPE::BOND, 200000 - 1000 * t, 0.6 * equity, 0},
                      {DEFAULT_ACCOUNT_TYPE::STOCK, 50000, 0, 50000}};
        r.accounts[0].equity = equity - 50000;
        r.cash = r.accounts[0].cash + r.accounts[1].cash;
        r.market_value = r.accounts[0].market_value;
        r.equity = equity;
        if (repo_columns) r.metrics = {300000 + 5000 * std::sin(t), 100000, 1.3 + 0.01 * t};
        s.result.daily.push_back(std::move(r));
    }
    s.summary = State{{"start_date", format_date(dates.front())},
                      {"end_date", format_date(dates.back())},
                      {"trading_days", days},
                      {"starting_cash", 1e6},
                      {"final_equity", 1023456.789},
                      {"total_return", 0.0234568},
                      {"annual_return", 0.151},
                      {"volatility", 0.0421},
                      {"sharpe", 1.2345},
                      {"max_drawdown", 0.0291},
                      {"trades", 3},
                      {"transaction_costs", 150.5},
                      {"coupon_income", 30000.0},
                      {"repo_interest_paid", 2500.25},
                      {"repo_interest_earned", 120.0},
                      {"note_<b>", "A&B <i>"}};
    return s;
}

// Trades need the run's environment for their ids and times.
inline std::vector<TradePtr> sample_trades(Environment& env, std::size_t count = 3) {
    std::vector<TradePtr> trades;
    for (std::size_t i = 0; i < count; ++i) {
        env.calendar_dt = make_datetime(2021, 3, 2 + static_cast<unsigned>(i % 20), 10, 15);
        switch (i % 3) {
            case 0:
                trades.push_back(Trade::from_create(1, 101.2345, 10000, SIDE::BUY,
                                                    POSITION_EFFECT::OPEN, "190210.IB",
                                                    Record{{"commission", 12.5}}));
                break;
            case 1:
                trades.push_back(Trade::from_create(
                    2, 2.15, 300000, SIDE::SELL, POSITION_EFFECT::OPEN, "204001.XSHG",
                    Record{{"commission", 3.0},
                           {"repo_period", 1},
                           {"due_settlement_date", make_datetime(2021, 3, 9)},
                           {"due_settlement_amount", 300017.671233}}));
                break;
            default:
                trades.push_back(Trade::from_create(3, 99.5, 2000, SIDE::SELL,
                                                    POSITION_EFFECT::CLOSE, "<script>&x",
                                                    Record{{"commission", 1.0}}));
        }
    }
    return trades;
}

}  // namespace korvex::testing
