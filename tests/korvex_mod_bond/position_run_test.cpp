// Whole backtests with the bond mod's position models: coupons, maturity and repos over a run,
// a run saved and resumed mid-way, and a held inter-bank bond of the generated sample bundle.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "bond_env.hpp"
#include "generator.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/data/instrument_store.hpp"
#include "tavlen/bond.hpp"

using namespace bond_test;
using korvex::DEFAULT_ACCOUNT_TYPE;
using korvex::POSITION_DIRECTION;
using korvex::Value;
using korvex_mod_bond::RepoTrade;

namespace {

// Books trades straight into the accounts on given days, at the close.
class BookOnDays : public korvex::Strategy {
public:
    using Booking = std::function<korvex::TradePtr()>;
    std::multimap<Date, Booking> plan;

    void handle_bar(korvex::StrategyContext& ctx) override {
        auto [first, last] = plan.equal_range(korvex::to_date(ctx.now()));
        for (auto it = first; it != last; ++it) {
            korvex::TradePtr trade = it->second();
            ctx.portfolio().account_for(trade->order_book_id()).apply_trade(*trade);
        }
    }
};

korvex::Config run_config(const std::filesystem::path& bundle, const std::string& start,
                          const std::string& end) {
    korvex::Config config = bond_config();
    config.set("base.start_date", Value(start));
    config.set("base.end_date", Value(end));
    config.set("base.data_bundle_path", Value(bundle.string()));
    config.set("base.output_dir", Value(""));
    config.set("log.level", Value("warning"));
    config.set_table("base.accounts", {{"STOCK", Value(1e6)}, {"BOND", Value(1e7)}});
    return config;
}

double account_cash(const korvex::RunResult& result, DEFAULT_ACCOUNT_TYPE type) {
    for (const auto& row : result.daily.back().accounts)
        if (row.type == type) return row.cash;
    return NAN;
}

struct SavedRunFixture : ::testing::Test {
    korvex::testing::TempDir dir;
    std::shared_ptr<tavlen::MemoryBackend> client = std::make_shared<tavlen::MemoryBackend>();

    void SetUp() override {
        korvex::testing::write_trading_dates(dir.path(), trading_calendar());
        client->set_implied_cash_flow(
            "190001.IB", implied_table("190001.IB", {{make_date(2020, 3, 2), 0, 0, 3.5},
                                                     {make_date(2020, 3, 5), 3.5, 0, 0},
                                                     {make_date(2020, 9, 1), 0, 0, 3.5},
                                                     {make_date(2020, 9, 4), 3.5, 0, 0},
                                                     {make_date(2020, 12, 14), 0, 0, 3.5},
                                                     {make_date(2020, 12, 15), 103.5, 100, 100}}));
        tavlen::set_backend(client);
    }
    void TearDown() override { tavlen::set_backend(nullptr); }

    korvex::RunResult run(const std::string& end, const std::string& save_to = "",
                          const std::string& resume_from = "") {
        korvex::Config config = run_config(dir.path(), "2020-01-02", end);
        config.set("base.save_state_to", Value(save_to));
        config.set("base.resume_from", Value(resume_from));
        korvex::Runner runner(config);
        runner.on_environment([this](korvex::Environment& env) {
            env.set_data_source(make_data_source(dir.path(), default_instruments()));
            korvex_mod_bond::position::load(env);
        });
        auto strategy = std::make_unique<BookOnDays>();
        strategy->plan.emplace(make_date(2020, 1, 3),
                               [] { return bond_trade("190001.IB", 1000, 100); });
        strategy->plan.emplace(make_date(2020, 3, 2), [] {
            return RepoTrade::create_repo_trade(0.02, 50000, "R007.IB", 7, 1.0, "190001.IB", 500);
        });
        strategy->plan.emplace(make_date(2020, 3, 3), [] {
            return RepoTrade::create_repo_trade(0.02, 20000, "R001.IB", 1, 1.0, "190001.IB", 200);
        });
        strategy->plan.emplace(make_date(2020, 3, 3), [] {
            return RepoTrade::create_reverse_repo_trade(0.025, 30000, "R001.IB", 1);
        });
        runner.set_strategy(std::move(strategy));
        return runner.run();
    }
};

}  // namespace

TEST_F(SavedRunFixture, CouponsMaturityAndReposReachTheCash) {
    korvex::RunResult result = run("2020-12-31");
    const double expected = 1e7 - 100000 + 1000 * (3.5 + 3.5 + 103.5) + 50000 -
                            50000 * (1 + 0.02 / 365 * 7) + 20000 - 20000 * (1 + 0.02 / 365 * 1) -
                            30000 + 30000 * (1 + 0.025 / 365 * 1);
    EXPECT_NEAR(account_cash(result, DEFAULT_ACCOUNT_TYPE::BOND), expected, 1e-6);
    EXPECT_EQ(result.daily.back().market_value, 0.0);
    EXPECT_DOUBLE_EQ(result.daily.back().equity, result.daily.back().cash);
}

TEST_F(SavedRunFixture, ARunResumedMidwayEndsWithTheSameCash) {
    const double straight = account_cash(run("2020-12-31"), DEFAULT_ACCOUNT_TYPE::BOND);
    // Saved with two financings and a loan open, 700 units pledged and a coupon accrued.
    const std::string state = (dir.path() / "state.json").string();
    run("2020-03-03", state);
    const double resumed = account_cash(run("2020-12-31", "", state), DEFAULT_ACCOUNT_TYPE::BOND);
    EXPECT_DOUBLE_EQ(resumed, straight);
}

TEST(SampleBundleRun, AHeldInterBankBondPaysItsCouponsAndLeavesAtMaturity) {
    korvex::testing::TempDir dir;
    const std::filesystem::path bundle = dir.path() / "bundle";
    korvex_generate::GeneratorOptions options;
    options.out = bundle;
    options.start = make_date(2019, 1, 2);
    options.end = make_date(2021, 12, 31);
    options.bonds = 40;
    options.minute_bonds = 0;
    korvex_generate::generate_bundle(options);
    tavlen::init((bundle / "tavlen.sqlite").string());

    // An inter-bank bond that matures inside the run, bought on the first day (no payment that
    // day), with every later payment on a run day.
    std::vector<Date> days = korvex::read_trading_dates_file(bundle / "trading_dates.txt");
    std::erase_if(days, [&](Date d) { return d < options.start || d > options.end; });
    const Date first = days.front(), last_day = days.back();
    auto is_run_day = [&](Date d) { return std::binary_search(days.begin(), days.end(), d); };
    std::string chosen;
    double coupons = 0;
    Date maturity{};
    for (const std::string& id : tavlen::bond::get_bond_list({.type = "bond"})) {
        if (!id.ends_with(".IB")) continue;
        auto record = std::get<korvex::Record>(tavlen::bond::instruments({id}));
        const Value* issue = record.find("issue_price");
        if (issue && issue->is_none()) continue;
        const double issue_price = issue ? issue->as_double() : 100.0;
        tavlen::TablePtr t = tavlen::bond::get_implied_cash_flow(id, 20050102, 29991231);
        if (!t || t->empty()) continue;
        const auto& dates = t->index_level("date");
        const auto& total = t->column("total_payment");
        const auto& principal = t->column("principal_payment");
        double paid = 0, cum = 0;
        bool usable = true;
        Date last{};
        for (std::size_t i = 0; i < t->size(); ++i) {
            cum += principal[i];
            if (dates[i] < first || total[i] == 0) continue;
            usable = usable && dates[i] != first && is_run_day(dates[i]);
            paid += total[i];
            last = dates[i];
        }
        if (usable && cum >= issue_price && last > first && last < last_day && paid > issue_price) {
            chosen = id;
            coupons = paid;
            maturity = last;
            break;
        }
    }
    ASSERT_FALSE(chosen.empty()) << "the sample bundle has no inter-bank bond maturing in the run";

    korvex::Runner runner(run_config(bundle, "2019-01-02", "2021-12-31"));
    runner.on_environment([&](korvex::Environment& env) {
        auto source =
            std::make_shared<korvex::BaseDataSource>(bundle, std::map<std::string, Value>{});
        source->register_instruments_store(
            std::make_shared<korvex_mod_bond::BondInstrumentStore>());
        source->register_instruments_store(
            std::make_shared<korvex_mod_bond::RepoInstrumentStore>());
        env.set_data_source(source);
        korvex_mod_bond::position::load(env);
    });
    auto strategy = std::make_unique<BookOnDays>();
    strategy->plan.emplace(first, [&] { return bond_trade(chosen, 1000, 100); });
    runner.set_strategy(std::move(strategy));
    struct Holding : korvex::RunObserver {
        std::string id;
        std::map<Date, double> quantity;
        void on_day_end(korvex::Environment& env, const korvex::DailyRecord& day) override {
            korvex::Position* p = env.portfolio()
                                      .account(DEFAULT_ACCOUNT_TYPE::BOND)
                                      .find_position(id, POSITION_DIRECTION::LONG);
            quantity[day.date] = p ? p->quantity() : -1;  // -1: no position in the book
        }
    } holding;
    holding.id = chosen;
    runner.add_observer(&holding);
    korvex::RunResult result = runner.run();
    tavlen::set_backend(nullptr);

    EXPECT_NEAR(account_cash(result, DEFAULT_ACCOUNT_TYPE::BOND), 1e7 - 100000 + 1000 * coupons,
                1e-6)
        << chosen;
    auto at_maturity = holding.quantity.find(maturity);
    ASSERT_NE(at_maturity, holding.quantity.end()) << chosen;
    EXPECT_EQ(std::prev(at_maturity)->second, 1000.0) << chosen;
    EXPECT_EQ(at_maturity->second, -1.0) << chosen << " matures " << korvex::format_date(maturity);
    EXPECT_DOUBLE_EQ(result.daily.back().equity, result.daily.back().cash) << chosen;
}
