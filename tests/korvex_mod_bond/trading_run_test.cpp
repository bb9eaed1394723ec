// Whole runs on a generated bundle: bonds bought, pledged in exchange repos rolled daily,
// pledged bonds refused for sale, repos settled; cash lent in the inter-bank market.
#include <gtest/gtest.h>

#include <cmath>

#include "generated_bundle.hpp"
#include "korvex/logger.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/matcher.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/sqlite_backend.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

const std::filesystem::path& bundle() {
    return korvex::testing::generated_bundle(7, make_date(2019, 1, 2), make_date(2019, 6, 28), 40);
}

Config run_config(const std::string& start, const std::string& end, const std::string& accounts) {
    Config c = Config::from_string("[base]\nstart_date = \"" + start + "\"\nend_date = \"" + end +
                                   "\"\ndata_bundle_path = \"" + bundle().string() +
                                   "\"\noutput_dir = \"\"\n[base.accounts]\n" + accounts +
                                   "\n[mod.sys_simulation]\nvolume_limit = false\n");
    return c;
}

// Lends the test's strategy to the runner, which would otherwise destroy it with itself.
class Borrowed : public Strategy {
public:
    explicit Borrowed(Strategy& s) : s_(s) {}
    void init(StrategyContext& c) override { s_.init(c); }
    void before_trading(StrategyContext& c) override { s_.before_trading(c); }
    void handle_bar(StrategyContext& c) override { s_.handle_bar(c); }
    void after_trading(StrategyContext& c) override { s_.after_trading(c); }

private:
    Strategy& s_;
};

RunResult run(Config config, Strategy& strategy) {
    tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(bundle() / "tavlen.sqlite"));
    Runner runner(std::move(config));
    runner.add_mod("bond", std::make_unique<BondMod>());
    runner.set_strategy(std::make_unique<Borrowed>(strategy));
    RunResult r = runner.run();
    tavlen::set_backend(nullptr);
    return r;
}

bool has_bar_today(StrategyContext& ctx, const std::string& id) {
    Bars bars = ctx.data_proxy().day_bars(id);
    return !bars.empty() && bars.find(convert_date_to_int(to_date(ctx.now()))) != Bars::npos;
}

// Buys an exchange bond, pledges 2000 of its 5000 units in the one-day Shanghai repo, tries to
// sell all 5000 while they are pledged, and sells them once the repo is settled.
class PledgeAndSell : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        ++day_;
        if (bond_.empty()) {
            for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
                if (ends_with(ins->order_book_id(), ".SH") &&
                    has_bar_today(ctx, ins->order_book_id()) &&
                    ins->de_listed_date() > make_datetime(2020, 1, 1)) {
                    bond_ = ins->order_book_id();
                    break;
                }
            ASSERT_FALSE(bond_.empty());
            ASSERT_NE(api::order_bond(ctx, bond_, 5000), nullptr);
            bought_on_ = to_date(ctx.now());
            return;
        }
        if (!financed_ &&
            repo_rate_today(ctx.env(), "204001.SH") == repo_rate_today(ctx.env(), "204001.SH")) {
            financed_ =
                api::exchange_repo_financing(ctx, "204001.SH", 200000, bond_, 0.9) != nullptr;
            financed_on_ = to_date(ctx.now());
            return;
        }
        if (financed_ && !refused_checked_) {
            LogCapture log;
            refused_ = api::order_bond(ctx, bond_, -5000) == nullptr;
            refusal_ = log.messages("user_system_log");
            refused_checked_ = true;
            return;
        }
        if (refused_checked_ && !sold_ && has_bar_today(ctx, bond_)) {
            sold_ = api::order_bond(ctx, bond_, -5000) != nullptr;
        }
    }
    int day_ = 0;
    std::string bond_;
    Date bought_on_{}, financed_on_{};
    bool financed_ = false, refused_checked_ = false, refused_ = false, sold_ = false;
    std::vector<std::string> refusal_;
};

}  // namespace

TEST(BondTradingRun, PledgedBondsCannotBeSoldUntilTheRepoIsSettled) {
    PledgeAndSell strategy;
    auto* s = &strategy;
    RunResult r = run(run_config("2019-01-02", "2019-02-28", "STOCK = 2000000"), strategy);
    ASSERT_TRUE(s->financed_);
    EXPECT_TRUE(s->refused_);
    EXPECT_EQ(s->refusal_,
              std::vector<std::string>{fmt::format(
                  "订单创建失败:  {} 的仓位不足, 目标平仓 5000, 可平仓位为 3000", s->bond_)});
    EXPECT_TRUE(s->sold_);

    std::vector<std::shared_ptr<RepoTrade>> repos;
    for (auto& t : r.trades)
        if (auto rt = std::dynamic_pointer_cast<RepoTrade>(t)) repos.push_back(rt);
    ASSERT_EQ(repos.size(), 1u);
    const RepoTrade& repo = *repos[0];
    EXPECT_EQ(repo.side(), SIDE::FINANCING);
    EXPECT_DOUBLE_EQ(repo.last_quantity(), 180000.0);  // nominal 200000 x haircut 0.9
    EXPECT_DOUBLE_EQ(repo.pledged_quantity(), 2000.0);
    EXPECT_EQ(repo.bond_id(), s->bond_);
    EXPECT_DOUBLE_EQ(repo.due_settlement_amount(),
                     180000.0 * (1 + repo.last_price() / 365 * repo.actual_holding_days()));

    // The account's cash moved by exactly the trades, the repo and the bond's cash flows: the
    // run ends flat, so equity is cash and every yuan is accounted for.
    double cash_from_trades = 0;
    for (auto& t : r.trades) {
        if (std::dynamic_pointer_cast<RepoTrade>(t)) continue;
        double value = t->last_price() * t->last_quantity();
        cash_from_trades += (t->side() == SIDE::BUY ? -value : value) - t->transaction_cost();
    }
    double repo_cash =
        repo.last_quantity() - repo.transaction_cost() - repo.due_settlement_amount();
    const DailyRecord& last = r.daily.back();
    EXPECT_DOUBLE_EQ(last.market_value, 0.0);
    double coupons = last.cash - 2000000.0 - cash_from_trades - repo_cash;
    EXPECT_GE(coupons, -1e-6);  // only the bond's own cash flows remain
    EXPECT_NEAR(last.equity, last.cash, 1e-6);
}

namespace {

class LendInterBank : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        if (auto t = api::ib_reverse_repo(ctx, 1, 100000)) trades_.push_back(t);
    }
    std::vector<std::shared_ptr<RepoTrade>> trades_;
};

}  // namespace

TEST(BondTradingRun, InterBankLendingEarnsRateOverHoldingDays) {
    LendInterBank strategy;
    auto* s = &strategy;
    RunResult r = run(run_config("2019-03-01", "2019-03-29", "BOND = 1000000"), strategy);
    ASSERT_EQ(s->trades_.size(), r.daily.size());
    double earned = 0;
    for (auto& t : s->trades_) {
        EXPECT_EQ(t->order_book_id(), "R001.IB");
        EXPECT_EQ(t->side(), SIDE::MARGIN);
        EXPECT_EQ(t->repo_period(), 1);
        EXPECT_DOUBLE_EQ(t->due_settlement_amount(),
                         100000.0 * (1 + t->last_price() / 365 * t->actual_holding_days()));
        if (t->due_settlement_date() <= r.daily.back().date)
            earned += t->due_settlement_amount() - 100000.0 - t->transaction_cost();
        else
            earned -= t->transaction_cost();
    }
    // Equity: the starting cash plus the interest of every settled loan (the open one counts at
    // its amount), to the cent and beyond.
    EXPECT_NEAR(r.daily.back().equity, 1000000.0 + earned, 1e-6);
    // Friday's loans run over the weekend: three days of interest.
    bool saw_weekend = false;
    for (auto& t : s->trades_)
        if (std::chrono::weekday(to_date(t->trading_datetime())) == std::chrono::Friday) {
            EXPECT_EQ(t->actual_holding_days(), 3);
            saw_weekend = true;
        }
    EXPECT_TRUE(saw_weekend);
}
