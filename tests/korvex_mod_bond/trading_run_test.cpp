// Whole runs on a generated bundle: bonds bought, pledged in exchange repos rolled daily,
// pledged bonds refused for sale, repos settled; cash lent in the inter-bank market; a tick run
// that takes counterparty offers.
#include <gtest/gtest.h>

#include <cmath>

#include "bond_run.hpp"
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

using korvex::testing::Borrowed;

const std::filesystem::path& bundle() {
    return korvex::testing::bond_bundle();
}
const std::filesystem::path& tick_bundle() {
    return korvex::testing::bond_tick_bundle();
}

Config run_config(const std::string& start, const std::string& end, const std::string& accounts,
                  const std::filesystem::path& data = bundle()) {
    return korvex::testing::bond_run_config(start, end, accounts, data);
}

RunResult run(Config config, Strategy& strategy) {
    return korvex::testing::run_bond(std::move(config), strategy);
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

namespace {

// Follows every listed bond; on the first day buys three times the first best ask's size of the
// first bond it sees quoted, on the last day sells all of it again.
class TakeOffers : public Strategy {
public:
    void before_trading(StrategyContext& ctx) override {
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
            if (ins->listed_at(ctx.now())) ctx.subscribe(ins->order_book_id());
        ++day_;
    }
    void handle_tick(StrategyContext& ctx, const TickObject& tick) override {
        seen_.emplace_back(tick.order_book_id(), tick.record());
        if (bond_.empty() && tick.ask_vols()[0] > 0) {
            bond_ = tick.order_book_id();
            bought_ = 3 * tick.ask_vols()[0];
            buy_ = api::order_bond(ctx, bond_, bought_);
        } else if (day_ == 5 && !sell_ && tick.order_book_id() == bond_) {
            sell_ = api::order_bond(ctx, bond_, -bought_);
        }
    }
    // The snapshot of `id` stamped `stamp`.
    const TickRecord* snapshot(const std::string& id, std::int64_t stamp) const {
        for (auto& [i, t] : seen_)
            if (i == id && t.datetime == stamp) return &t;
        return nullptr;
    }
    int day_ = 0;
    std::string bond_;
    double bought_ = 0;
    OrderPtr buy_, sell_;
    std::vector<std::pair<std::string, TickRecord>> seen_;
};

}  // namespace

TEST(BondTradingRun, ATickRunTakesTheBestOffersUpToTheirSize) {
    TakeOffers strategy;
    auto* s = &strategy;
    Config config = run_config("2019-06-24", "2019-06-28", "STOCK = 10000000", tick_bundle());
    config.set("base.frequency", Value("tick"));
    config.set("mod.bond.bond_matching_type", Value("counterparty_offer"));
    config.set("mod.lumeq_data.enabled", Value(true));
    RunResult r = run(std::move(config), strategy);
    ASSERT_EQ(r.daily.size(), 5u);
    ASSERT_FALSE(s->bond_.empty());
    ASSERT_NE(s->buy_, nullptr);
    ASSERT_NE(s->sell_, nullptr);
    EXPECT_EQ(s->buy_->status(), ORDER_STATUS::FILLED);
    EXPECT_EQ(s->sell_->status(), ORDER_STATUS::FILLED);

    // Every fill is at the best quote of the snapshot it happened on, within its size; the
    // first fill comes on the very snapshot the order was placed on.
    double bought = 0, sold = 0, cash = 0;
    int buys = 0;
    for (auto& t : r.trades) {
        ASSERT_EQ(t->order_book_id(), s->bond_);
        const TickRecord* at = s->snapshot(s->bond_, convert_date_to_int(t->trading_datetime()));
        ASSERT_NE(at, nullptr) << format_datetime(t->trading_datetime());
        const bool buy = t->side() == SIDE::BUY;
        EXPECT_EQ(t->last_price(), buy ? at->asks[0] : at->bids[0]);
        EXPECT_LE(t->last_quantity(), buy ? at->ask_vols[0] : at->bid_vols[0]);
        EXPECT_EQ(std::fmod(t->last_quantity(), 10.0), 0.0);
        (buy ? bought : sold) += t->last_quantity();
        buys += buy;
        const double value = t->last_price() * t->last_quantity();
        EXPECT_NEAR(t->commission(), std::min(100.0, value * 0.0001), 1e-9);
        cash += (buy ? -value : value) - t->transaction_cost();
    }
    // The first snapshot gives all its size (whole lots), the rest comes from later ones.
    EXPECT_EQ(r.trades.front()->last_quantity(),
              std::floor(s->seen_.front().second.ask_vols[0] / 10) * 10);
    EXPECT_GE(buys, 2);
    EXPECT_EQ(bought, s->bought_);
    EXPECT_EQ(sold, s->bought_);
    EXPECT_EQ(r.trades.front()->trading_datetime(),
              datetime_from_int(s->seen_.front().second.datetime));

    // Flat at the end: cash is the start plus the fills and whatever the bond paid, to the cent.
    double paid = 0;
    for (auto& [name, value] : r.summary_extras)
        if (name == "coupon_income" || name == "principal_repaid") paid += value;
    const DailyRecord& last = r.daily.back();
    EXPECT_EQ(last.market_value, 0.0);
    EXPECT_NEAR(last.cash, 10000000.0 + cash + paid, 0.005);
}

// A mistyped bond setting or a negative commission would otherwise run silently.
TEST(BondTradingRun, WrongBondSettingsAreRefusedNamingThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"mod.bond.valuaton_source=\"exchange\"",
         "unknown configuration entry mod.bond.valuaton_source (did you mean "
         "mod.bond.valuation_source?)"},
        {"mod.bond.ib_bond_commission_rate=-0.1",
         "mod.bond.ib_bond_commission_rate must be >= 0, got -0.1"},
        {"mod.bond.exchange_repo_commission_rate.7=-0.00005",
         "mod.bond.exchange_repo_commission_rate.7 must be >= 0, got -5e-05"},
    };
    for (auto& [assignment, error] : cases) {
        Config config = run_config("2019-01-02", "2019-01-04", "STOCK = 1000000");
        config.set_override(assignment);
        Strategy idle;
        EXPECT_EQ(korvex::testing::error_of<std::exception>([&] { run(std::move(config), idle); }),
                  error)
            << assignment;
    }
}
