// The daily loop: call order on positions and strategy, and the cash each call returns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvex/runner.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;
using korvex::testing::TempDir;

namespace {

std::vector<std::string> g_calls;

class RecordingPosition : public Position {
public:
    using Position::Position;
    double before_trading(Date d) override {
        g_calls.push_back("position.before_trading " + format_date(d));
        return 1.0;
    }
    double apply_trade(const Trade& t) override {
        g_calls.push_back("position.apply_trade " + format_date(to_date(t.trading_datetime())));
        return Position::apply_trade(t);
    }
    double settlement(Date d) override {
        g_calls.push_back("position.settlement " + format_date(d));
        Position::settlement(d);
        return 10.0;
    }
};

class BuyOnce : public Strategy {
public:
    void before_trading(StrategyContext& ctx) override {
        g_calls.push_back("strategy.before_trading " + format_date(to_date(ctx.now())));
    }
    void handle_bar(StrategyContext& ctx) override {
        g_calls.push_back("strategy.handle_bar " + format_date(to_date(ctx.now())));
        if (!bought_) bought_ = ctx.order_shares("000001.XSHE", 100) != nullptr;
    }
    void after_trading(StrategyContext& ctx) override {
        g_calls.push_back("strategy.after_trading " + format_date(to_date(ctx.now())));
    }
    bool bought_ = false;
};

struct LoopFixture : ::testing::Test {
    TempDir dir;
    std::vector<Date> days{make_date(2020, 1, 2), make_date(2020, 1, 3)};
    Config config;
    std::shared_ptr<korvex::testing::FakeDayBarStore> bars =
        std::make_shared<korvex::testing::FakeDayBarStore>();

    void SetUp() override {
        g_calls.clear();
        korvex::testing::write_trading_dates(dir.path(), days);
        config.set("base.start_date", Value("2020-01-02"));
        config.set("base.end_date", Value("2020-01-03"));
        config.set("base.data_bundle_path", Value(dir.path().string()));
        config.set("base.output_dir", Value(""));
        config.set_table("base.accounts", {{"STOCK", Value(1000000.0)}});
        bars->set_closes("000001.XSHE", days, {10.0, 11.0});
    }

    Runner make_runner() {
        Runner runner(config);
        runner.on_environment([this](Environment& env) {
            auto source =
                std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
            source->register_instruments_store(
                std::make_shared<korvex::testing::FakeInstrumentStore>(
                    INSTRUMENT_TYPE::CS,
                    std::vector<InstrumentPtr>{korvex::testing::make_instrument("000001.XSHE")}));
            source->register_day_bar_store(INSTRUMENT_TYPE::CS, bars);
            env.set_data_source(source);
            env.register_position_model(INSTRUMENT_TYPE::CS,
                                        [](const std::string& id, POSITION_DIRECTION d, double q) {
                                            return std::make_unique<RecordingPosition>(id, d, q);
                                        });
        });
        return runner;
    }
};

}  // namespace

TEST_F(LoopFixture, CallsPositionsAndStrategyInTheDailyOrder) {
    Runner runner = make_runner();
    runner.set_strategy(std::make_unique<BuyOnce>());
    runner.run();
    EXPECT_THAT(g_calls,
                ::testing::ElementsAre(
                    "strategy.before_trading 2020-01-02", "strategy.handle_bar 2020-01-02",
                    "position.apply_trade 2020-01-02", "strategy.after_trading 2020-01-02",
                    "position.settlement 2020-01-02", "position.before_trading 2020-01-03",
                    "strategy.before_trading 2020-01-03", "strategy.handle_bar 2020-01-03",
                    "strategy.after_trading 2020-01-03", "position.settlement 2020-01-03"));
}

TEST_F(LoopFixture, AddsEveryReturnedCashChangeToTheAccount) {
    Runner runner = make_runner();
    runner.set_strategy(std::make_unique<BuyOnce>());
    RunResult result = runner.run();
    ASSERT_EQ(result.daily.size(), 2u);
    // Day 1: buy 100 at the close 10 (-1000), settlement +10.
    EXPECT_DOUBLE_EQ(result.daily[0].cash, 1000000.0 - 1000.0 + 10.0);
    EXPECT_DOUBLE_EQ(result.daily[0].market_value, 1000.0);
    // Day 2: before_trading +1, settlement +10; marked at 11.
    EXPECT_DOUBLE_EQ(result.daily[1].cash, 1000000.0 - 1000.0 + 10.0 + 1.0 + 10.0);
    EXPECT_DOUBLE_EQ(result.daily[1].market_value, 1100.0);
    EXPECT_DOUBLE_EQ(result.daily[1].equity, result.daily[1].cash + 1100.0);
    ASSERT_EQ(result.trades.size(), 1u);
    EXPECT_EQ(result.trades[0]->last_price(), 10.0);
}
