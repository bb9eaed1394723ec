// The books under random but valid trading: bond buys and sells, exchange and inter-bank repos
// both ways, over the coupon, record, payment, maturity and holiday days of a generated year.
// After every day the journal balances, no cash is below zero, no pledge exceeds what is held
// and no position is left with dust; at the end the summary's income adds up to the equity. Split
// and resumed at any day, the run is the uninterrupted one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "generated_bundle.hpp"
#include "korvex/api.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/sqlite_backend.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

const std::filesystem::path& bundle() {
    return korvex::testing::generated_bundle(5, make_date(2019, 1, 2), make_date(2019, 12, 31), 40);
}

class RandomBook : public Strategy {
public:
    explicit RandomBook(std::uint64_t seed) : rng_(seed) {}

    void handle_bar(StrategyContext& ctx) override {
        priced_.clear();
        const std::int64_t today = convert_date_to_int(to_date(ctx.now()));
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
            if (!ins->listed_at(ctx.now())) continue;
            Bars bars = ctx.data_proxy().day_bars(ins->order_book_id());
            if (!bars.empty() && bars.find(today) != Bars::npos) priced_.push_back(ins);
        }
        for (int k = 0; k < 3; ++k) act(ctx);
    }

    // The draws go on where the saved run stopped.
    State save_state(StrategyContext&) override {
        std::ostringstream out;
        out << rng_;
        return State{{"rng", out.str()}};
    }
    void restore_state(StrategyContext&, const State& state) override {
        std::istringstream in(state["rng"].get<std::string>());
        in >> rng_;
    }

private:
    double u() { return std::uniform_real_distribution<double>(0, 1)(rng_); }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[rng_() % v.size()];
    }

    // Free cash less what the account's financings will take back.
    static double spendable(Account& acc) {
        double owed = 0;
        for (auto& p : acc.positions())
            if (dynamic_cast<RepoPosition*>(p.get()) && p->direction() == POSITION_DIRECTION::SHORT)
                owed += p->quantity() * 1.01;
        return acc.cash() - owed;
    }

    // Inter-bank bonds trade in at least 1000 units.
    static double minimum(const std::string& id) { return is_exchange_bond(id) ? 10 : 1000; }

    // Held bonds with something closable, exchange or inter-bank.
    std::vector<BondPosition*> closable(StrategyContext& ctx, bool exchange) {
        std::vector<BondPosition*> out;
        for (auto& [type, acc] : ctx.portfolio().accounts())
            for (auto& p : acc->positions())
                if (auto* b = dynamic_cast<BondPosition*>(p.get());
                    b && b->closable() >= 10 && is_exchange_bond(b->order_book_id()) == exchange)
                    out.push_back(b);
        return out;
    }

    void act(StrategyContext& ctx) {
        const int term = std::array<int, 3>{1, 7, 14}[rng_() % 3];
        const double haircut = 0.5 + 0.5 * u();
        switch (rng_() % 6) {
            case 0: {  // buy
                if (priced_.empty()) return;
                const InstrumentPtr& ins = pick(priced_);
                Account& acc = ctx.portfolio().account(ins->account_type());
                const double price = last_close(ctx.env(), ins->order_book_id());
                const double lot = ins->round_lot();
                const double q = std::floor(spendable(acc) * 0.3 * u() / price / lot) * lot;
                if (q >= minimum(ins->order_book_id()))
                    api::order_bond(ctx, ins->order_book_id(), q);
                return;
            }
            case 1: {  // sell part of a holding
                auto held = closable(ctx, u() < 0.5);
                if (held.empty()) return;
                BondPosition* b = pick(held);
                const double lot = b->instrument().round_lot();
                const double q = std::floor(b->closable() * u() / lot) * lot;
                if (q >= minimum(b->order_book_id())) api::order_bond(ctx, b->order_book_id(), -q);
                return;
            }
            case 2: {  // exchange financing
                auto held = closable(ctx, true);
                if (held.empty()) return;
                BondPosition* b = pick(held);
                const double nominal = std::floor(b->closable() * 100 * u() / 1e5) * 1e5;
                if (nominal >= 1e5)
                    api::exchange_repo_financing(ctx, "204001.SH", nominal, b->order_book_id(),
                                                 haircut);
                return;
            }
            case 3: {  // exchange lending
                const double amount =
                    std::floor(spendable(ctx.stock_account()) * 0.2 * u() / 1e5) * 1e5;
                if (amount >= 1e5) api::exchange_reverse_repo(ctx, "204001.SH", amount);
                return;
            }
            case 4: {  // inter-bank financing
                auto held = closable(ctx, false);
                if (held.empty()) return;
                BondPosition* b = pick(held);
                const double nominal = std::floor(b->closable() * 100 * u() / 1e5) * 1e5;
                if (nominal >= 1e5) api::ib_repo(ctx, term, nominal, b->order_book_id(), haircut);
                return;
            }
            default: {  // inter-bank lending
                Account& acc = ctx.portfolio().account(DEFAULT_ACCOUNT_TYPE::BOND);
                const double amount = std::floor(spendable(acc) * 0.2 * u() / 1e5) * 1e5;
                if (amount >= 1e5) api::ib_reverse_repo(ctx, term, amount);
                return;
            }
        }
    }

    std::mt19937_64 rng_;
    std::vector<InstrumentPtr> priced_;
};

// Checks the books after every day; keeps the first fault.
class LedgerCheck : public RunObserver {
public:
    void on_day_end(Environment& env, const DailyRecord& day) override {
        if (!fault.empty()) return;
        std::ostringstream why;
        for (auto& [type, acc] : env.portfolio().accounts()) {
            double sum = acc->journal().opening();
            for (const CashEntry& e : acc->journal().entries()) sum += e.amount;
            if (sum != acc->balance())
                why << name(type) << " journal " << sum << " != balance " << acc->balance() << "; ";
            if (acc->cash() < -1e-6) why << name(type) << " cash " << acc->cash() << "; ";
            for (auto& p : acc->positions()) {
                const double q = p->quantity();
                if (q != 0 && std::abs(q) < 1e-3)
                    why << p->order_book_id() << " left with " << q << "; ";
                if (auto* b = dynamic_cast<BondPosition*>(p.get()); b && b->pledged_quantity() > q)
                    why << p->order_book_id() << " pledges " << b->pledged_quantity() << " of " << q
                        << " held; ";
            }
        }
        if (why.tellp() > 0) fault = format_date(day.date) + ": " + why.str();
        ++days;
    }
    std::string fault;
    int days = 0;
};

}  // namespace

// Each seed's year is run whole, then split at a day of its own and resumed: every day after
// the split is the whole run's, to the cent.
TEST(Ledger, RandomTradingKeepsTheBooksBalancedEveryDayAndResumesExactly) {
    tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(bundle() / "tavlen.sqlite"));
    korvex::testing::TempDir dir;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        const double slippage = std::array<double, 3>{0.0, 0.001, 0.004}[seed % 3];
        LedgerCheck check;
        auto run = [&](const std::string& end, const std::string& save, const std::string& resume) {
            Config config = Config::from_string(
                "[base]\nstart_date = \"2019-01-02\"\nend_date = \"" + end +
                "\"\ndata_bundle_path = \"" + bundle().string() + "\"\noutput_dir = \"\"\n" +
                "save_state_to = \"" + save + "\"\nresume_from = \"" + resume +
                "\"\n[base.accounts]\nSTOCK = 10000000\nBOND = 10000000\n"
                "[mod.sys_simulation]\nslippage = " +
                std::to_string(slippage) + "\n");
            Runner runner(std::move(config));
            runner.add_mod("bond", std::make_unique<BondMod>());
            runner.set_strategy(std::make_unique<RandomBook>(seed));
            runner.add_observer(&check);
            return runner.run();
        };
        // The summary's figures add up to the change of equity over the run (or the segment).
        auto explained = [](const RunResult& r) {
            std::map<std::string, double> s(r.summary_extras.begin(), r.summary_extras.end());
            double costs = 0;
            for (auto& t : r.trades)
                if (!r.resumed_from || to_date(t->trading_datetime()) > *r.resumed_from)
                    costs += t->transaction_cost();
            return s["coupon_income"] + s["payment_receivable"] + s["price_pnl"] +
                   s["repo_interest_earned"] - s["repo_interest_paid"] - costs;
        };
        // Each day's attribution terms add up to its change of equity; returns the worst day's gap.
        auto attribution_gap = [](const RunResult& r, double opening) {
            double worst = 0, before = opening;
            for (auto& d : r.daily) {
                double terms = 0;
                for (std::size_t m = 0; m < r.metric_names.size(); ++m)
                    if (r.metric_names[m].starts_with("pnl_")) terms += d.metrics[m];
                worst = std::max(worst, std::abs(terms - (d.equity - before)));
                before = d.equity;
            }
            return worst;
        };
        RunResult r;
        try {
            r = run("2019-12-31", "", "");
        } catch (const std::exception& e) {
            ADD_FAILURE() << "seed " << seed << ": " << e.what();
            continue;
        }
        EXPECT_EQ(check.fault, "") << "seed " << seed;
        EXPECT_GT(r.trades.size(), 100u) << "seed " << seed;
        EXPECT_NEAR(r.daily.back().equity - 2e7, explained(r), 0.01) << "seed " << seed;
        EXPECT_LT(attribution_gap(r, 2e7), 0.005) << "seed " << seed;
        std::map<std::string, double> s(r.summary_extras.begin(), r.summary_extras.end());
        EXPECT_GT(s["coupon_income"], 0) << "seed " << seed;
        EXPECT_GT(s["repo_interest_paid"], 0) << "seed " << seed;
        EXPECT_GT(s["repo_interest_earned"], 0) << "seed " << seed;

        const std::size_t split = 20 + (seed * 41) % (r.daily.size() - 40);
        const std::string state = (dir.path() / ("state" + std::to_string(seed))).string();
        run(format_date(r.daily[split].date), state, "");
        const RunResult resumed = run("2019-12-31", "", state);
        ASSERT_EQ(resumed.daily.size(), r.daily.size() - split - 1) << "seed " << seed;
        for (std::size_t i = 0; i < resumed.daily.size(); ++i)
            ASSERT_NEAR(resumed.daily[i].equity, r.daily[split + 1 + i].equity, 0.005)
                << "seed " << seed << " on " << format_date(resumed.daily[i].date);
        EXPECT_EQ(check.fault, "") << "seed " << seed;
        EXPECT_NEAR(resumed.daily.back().equity - resumed.opening_equity, explained(resumed), 0.01)
            << "seed " << seed;
        EXPECT_LT(attribution_gap(resumed, resumed.opening_equity), 0.005) << "seed " << seed;
    }
    tavlen::set_backend(nullptr);
}
