// Cash and collateral when the market gives them, in each market: cash lent comes back usable on
// its due day, a one-day financing rolls on the same bonds, a sale pays for a later buy the same
// day; and a settlement that cannot pay overdraws with a warning and interest, or stops the run.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "bond_run.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;
using namespace korvex_mod_bond;
using korvex::testing::bond_run_config;
using korvex::testing::run_bond;

namespace {

struct Market {
    const char* name;
    const char* suffix;   // of its bonds
    const char* repo;     // its one-day repo
    const char* account;  // the account it trades in
};
constexpr Market kMarkets[] = {{"Shanghai", ".SH", "204001.SH", "STOCK"},
                               {"Shenzhen", ".SZ", "131810.SZ", "STOCK"},
                               {"inter-bank", ".IB", "R001.IB", "BOND"}};

bool inter_bank(const Market& m) {
    return std::string(m.suffix) == ".IB";
}

Account& account_of(StrategyContext& ctx, const Market& m) {
    return ctx.portfolio().account(*try_parse_enum<DEFAULT_ACCOUNT_TYPE>(m.account));
}

bool priced_today(StrategyContext& ctx, const std::string& id) {
    Bars bars = ctx.day_bars(id);
    return !bars.empty() &&
           bars.datetime(bars.size() - 1) == convert_date_to_int(to_date(ctx.now()));
}

// The first bond of the market priced today and repaid well after the span.
std::string pick_bond(StrategyContext& ctx, const Market& m, int skip = 0) {
    for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
        auto bond = std::dynamic_pointer_cast<const BondInstrument>(ins);
        if (!bond || !ends_with(bond->order_book_id(), m.suffix) || bond->issue_price() != 100.0)
            continue;
        if (bond->de_listed_date() < DateTime(make_date(2019, 9, 1))) continue;
        if (priced_today(ctx, bond->order_book_id()) && skip-- == 0) return bond->order_book_id();
    }
    return {};
}

double lots(double amount, double lot) {
    return std::floor(amount / lot) * lot;
}

// Lends all the account's free cash every day in the market's one-day repo.
class LendAll : public Strategy {
public:
    explicit LendAll(const Market& m) : m_(m) {}
    void handle_bar(StrategyContext& ctx) override {
        const double cash = account_of(ctx, m_).cash();
        if (inter_bank(m_)) {
            if (api::ib_reverse_repo(ctx, 1, lots(api::calc_max_amount(m_.repo, cash), 10))) ++lent;
        } else if (api::exchange_reverse_repo(ctx, m_.repo,
                                              lots(api::calc_max_amount(m_.repo, cash), 1000))) {
            ++lent;
        }
    }
    const Market& m_;
    int lent = 0;
};

// Buys a bond with the account's cash on the first day, pledges all of it in a one-day financing
// from the second on, rolled every day on the same bonds, and buys a second bond with the cash.
class RollOnTheSameBonds : public Strategy {
public:
    explicit RollOnTheSameBonds(const Market& m) : m_(m) {}
    void handle_bar(StrategyContext& ctx) override {
        Account& account = account_of(ctx, m_);
        const double lot = inter_bank(m_) ? 1000 : 10;
        if (++day_ == 1) {
            bond_ = pick_bond(ctx, m_);
            other_ = pick_bond(ctx, m_, 1);
            ASSERT_FALSE(other_.empty()) << m_.name;
            units_ = lots(account.cash() * 0.9 / 101, lot);
            ASSERT_TRUE(api::order_bond(ctx, bond_, units_)) << m_.name;
            return;
        }
        // Pledge every unit, in whole repo lots.
        const double nominal = lots(units_ * 100, inter_bank(m_) ? 100 : 1000);
        if (inter_bank(m_)) {
            if (api::ib_repo(ctx, 1, nominal, bond_, 1.0)) ++rolled;
        } else if (api::exchange_repo_financing(ctx, m_.repo, nominal, bond_, 1.0)) {
            ++rolled;
        }
        if (!invested_ && priced_today(ctx, other_)) {
            const double pending =
                inter_bank(m_) ? 0.0 : nominal;  // exchange repos fill at the close
            invested_ =
                api::order_bond_value(ctx, other_, (account.cash() + pending) * 0.97) != nullptr;
        }
    }
    const Market& m_;
    int day_ = 0;
    std::string bond_, other_;
    double units_ = 0;
    bool invested_ = false;
    int rolled = 0;
};

// Buys a bond on the first day; on the second sells it and, in the same bar, buys another with
// what the sale brings.
class Switch : public Strategy {
public:
    explicit Switch(const Market& m) : m_(m) {}
    void handle_bar(StrategyContext& ctx) override {
        Account& account = account_of(ctx, m_);
        if (++day_ == 1) {
            from_ = pick_bond(ctx, m_);
            api::order_bond_value(ctx, from_, account.cash() * 0.99);
        } else if (day_ == 2) {
            to_ = pick_bond(ctx, m_, pick_bond(ctx, m_) == from_ ? 1 : 0);
            sell_ = api::order_bond_target(ctx, from_, 0);
            buy_ = api::order_bond_value(ctx, to_, account.cash() * 0.97);
            // A loan is booked at once: the sale, not yet filled, cannot pay for it.
            if (inter_bank(m_))
                lent_ = api::ib_reverse_repo(ctx, 1, lots(account.cash() + 1e5, 100));
        }
    }
    const Market& m_;
    int day_ = 0;
    std::string from_, to_;
    OrderPtr sell_, buy_;
    std::shared_ptr<RepoTrade> lent_;
};

// Buys a bond on the first day; on the second offers it at a price never reached and lends what
// the sale would bring: the loan counts on a sale that does not fill.
class LendOnAnUnfilledSale : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        Account& account = account_of(ctx, kMarkets[0]);
        if (++day_ == 1) {
            bond_ = pick_bond(ctx, kMarkets[0]);
            api::order_bond_value(ctx, bond_, account.cash() * 0.99);
        } else if (day_ == 2) {
            api::order_bond_target(ctx, bond_, 0, 1000.0);
            lend_ = api::exchange_reverse_repo(ctx, "204001.SH", lots(account.cash() + 5e5, 1000));
        }
    }
    int day_ = 0;
    std::string bond_;
    OrderPtr lend_;
};

Config market_config(const Market& m, const std::string& start, const std::string& end) {
    return bond_run_config(start, end, std::string(m.account) + " = 10000000");
}

double min_cash(const RunResult& r) {
    double least = 0;
    for (auto& d : r.daily)
        for (auto& a : d.accounts) least = std::min(least, a.cash);
    return least;
}

}  // namespace

TEST(Funding, InEachMarketCashAndCollateralComeBackOnTheirDueDay) {
    for (const Market& m : kMarkets) {
        SCOPED_TRACE(m.name);
        LendAll lend(m);
        RunResult lent = run_bond(market_config(m, "2019-03-01", "2019-03-29"), lend);
        // The cash lent yesterday is lent again today: a lending every day, never an overdraft.
        EXPECT_EQ(lend.lent, static_cast<int>(lent.daily.size()));
        EXPECT_EQ(min_cash(lent), 0.0);

        RollOnTheSameBonds roll(m);
        RunResult rolled = run_bond(market_config(m, "2019-03-01", "2019-03-29"), roll);
        // From the second day on, a financing every day on the same bonds, and cash never short.
        EXPECT_EQ(roll.rolled, static_cast<int>(rolled.daily.size()) - 1);
        EXPECT_EQ(min_cash(rolled), 0.0);
        ASSERT_FALSE(rolled.trades.empty());
        EXPECT_GT(rolled.daily.back().market_value, 1.5 * 0.9 * 10000000);

        Switch sw(m);
        run_bond(market_config(m, "2019-03-01", "2019-03-05"), sw);
        ASSERT_NE(sw.buy_, nullptr) << "the switch's buy was refused";
        EXPECT_EQ(sw.sell_->status(), ORDER_STATUS::FILLED);
        EXPECT_EQ(sw.buy_->status(), ORDER_STATUS::FILLED);
        EXPECT_EQ(sw.lent_, nullptr);
    }
    // Its sale unfilled, the loan is refused when it would fill: cash never goes below zero.
    LendOnAnUnfilledSale lend;
    RunResult r = run_bond(market_config(kMarkets[0], "2019-03-01", "2019-03-05"), lend);
    ASSERT_NE(lend.lend_, nullptr);
    EXPECT_EQ(lend.lend_->status(), ORDER_STATUS::REJECTED);
    EXPECT_EQ(lend.lend_->message(),
              "Order rejected: 600000 of 204001.SH needs 600006.00 in cash, 100797.51 is free");
    EXPECT_EQ(min_cash(r), 0.0);
}

namespace {

// Borrows against its bonds on the second day and spends the cash; does not roll on the third,
// so settlement overdraws; on the fourth, overdrawn, it sells and mends the account.
class OverdrawThenSell : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        Account& account = ctx.portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK);
        ++day_;
        if (day_ == 1) {
            bond_ = pick_bond(ctx, kMarkets[0]);
            other_ = pick_bond(ctx, kMarkets[0], 1);
            api::order_bond(ctx, bond_, lots(account.cash() * 0.95 / 101, 10));
        } else if (day_ == 2) {
            api::exchange_repo_financing(ctx, "204001.SH", 500000, bond_, 1.0);
            api::order_bond_value(ctx, other_, account.cash() + 500000 * 0.98);
        } else if (day_ == 4) {
            cash_before_sale = account.cash();
            for (const std::string& id : {other_, bond_})
                if (!sale_ && priced_today(ctx, id)) sale_ = api::order_bond_target(ctx, id, 0);
        }
    }
    int day_ = 0;
    std::string bond_, other_;
    double cash_before_sale = 0;
    OrderPtr sale_;
};

}  // namespace

TEST(Funding, AShortfallOverdrawsWithAWarningAndInterestAndASaleMendsIt) {
    // 2019-03-01 is a Friday: the overdraft of Tuesday 03-05 costs one night, to Wednesday.
    Config config = bond_run_config("2019-03-01", "2019-03-08", "STOCK = 10000000");
    config.set("mod.sys_simulation.overdraft_rate", Value(0.365));  // a thousandth a night
    korvex::testing::TempDir out;
    config.set("base.output_dir", Value(out.path().string()));
    OverdrawThenSell s;
    LogCapture log;
    RunResult r = run_bond(config, s);
    const std::vector<std::string> warnings = log.messages("user_system_log");
    ASSERT_EQ(r.daily.size(), 6u);
    const DailyRecord& short_day = r.daily[2];
    EXPECT_EQ(format_date(short_day.date), "2019-03-05");
    ASSERT_LT(short_day.cash, 0);
    const double overdraft = -short_day.cash;

    // The repayment that fell due and the cash before it, in the warning.
    double repaid = 0;
    for (auto& t : r.trades)
        if (auto* repo = dynamic_cast<const RepoTrade*>(t.get()))
            repaid += repo->due_settlement_amount();
    const double cash_before = short_day.cash + repaid;
    const std::string what = fmt::format(
        "account STOCK is overdrawn on 2019-03-05: {:.2f} fell due at settlement with {:.2f} in "
        "cash, leaving {:.2f}",
        repaid, cash_before, short_day.cash);
    const std::string expected = what + "; the overdraft is charged 36.5% a year";
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), expected), warnings.end()) << expected;

    // Wednesday morning charges one night at a thousandth; the sale is taken though cash is
    // below zero, and no night after it costs anything.
    EXPECT_LT(s.cash_before_sale, 0);
    ASSERT_NE(s.sale_, nullptr);
    EXPECT_EQ(s.sale_->status(), ORDER_STATUS::FILLED);
    EXPECT_GE(r.daily[3].cash, 0);
    std::ifstream flows(out.path() / "cash_flows.csv");
    std::vector<std::string> charged;
    for (std::string line; std::getline(flows, line);)
        if (line.find(",overdraft interest,") != std::string::npos) charged.push_back(line);
    ASSERT_EQ(charged.size(), 1u);
    EXPECT_EQ(charged[0].substr(0, 10), "2019-03-06");
    EXPECT_NEAR(std::stod(charged[0].substr(charged[0].rfind(',') + 1)), -overdraft / 1000, 1e-6);

    // With on_shortfall = "stop" the same day ends the run, naming it.
    config.set("mod.sys_simulation.on_shortfall", Value("stop"));
    config.set("base.output_dir", Value(""));
    OverdrawThenSell again;
    EXPECT_EQ(korvex::testing::error_of<RuntimeError>([&] { run_bond(config, again); }),
              what + " (mod.sys_simulation.on_shortfall = \"stop\")");
}
