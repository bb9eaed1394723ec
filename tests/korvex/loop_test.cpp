// The daily loop: call order on positions and strategy, and the cash each call returns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
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

    // The bundle's stocks with the fixture's day bars, and a tick store when given one.
    std::shared_ptr<BaseDataSource> make_source(std::vector<std::string> ids,
                                                std::shared_ptr<AbstractTickStore> ticks = {}) {
        auto source = std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
        std::vector<InstrumentPtr> instruments;
        for (auto& id : ids) instruments.push_back(korvex::testing::make_instrument(id));
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::CS, std::move(instruments)));
        source->register_day_bar_store(INSTRUMENT_TYPE::CS, bars);
        if (ticks) source->register_tick_store(std::move(ticks));
        return source;
    }

    Runner make_runner() {
        Runner runner(config);
        runner.on_environment([this](Environment& env) {
            env.set_data_source(make_source({"000001.XSHE"}));
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

namespace {

// Subscribes to two instruments and logs every snapshot it sees; on the first one it places a
// limit order that the broker can only match on a later snapshot of the same instrument.
class TickLogger : public Strategy {
public:
    void init(StrategyContext& ctx) override {
        ctx.subscribe("000001.XSHE");
        ctx.subscribe("000002.XSHE");
        ctx.subscribe("000001.XSHE");  // twice is once
    }
    void handle_tick(StrategyContext& ctx, const TickObject& tick) override {
        g_calls.push_back(fmt::format("tick {} {} {}", tick.order_book_id(),
                                      format_datetime(ctx.now()), tick.last()));
        if (!ordered_) ordered_ = ctx.order_shares("000001.XSHE", 100, 20.0) != nullptr;
    }
    bool ordered_ = false;
};

struct TickLoopFixture : LoopFixture {
    std::shared_ptr<korvex::testing::FakeTickStore> ticks =
        std::make_shared<korvex::testing::FakeTickStore>();
    Runner make_tick_runner() {
        config.set("base.frequency", Value("tick"));
        Runner runner(config);
        runner.on_environment([this](Environment& env) {
            env.set_data_source(make_source({"000001.XSHE", "000002.XSHE"}, ticks));
        });
        return runner;
    }
};

}  // namespace

TEST_F(TickLoopFixture, FeedsTheSubscribedSnapshotsInTimeOrderAndMatchesOpenOrdersOnThem) {
    using korvex::testing::make_tick;
    ticks->set("000001.XSHE", {make_tick(20200102093003, 10.1, 10, 100, 10.2, 100),
                               make_tick(20200102093009, 10.3, 10, 100, 10.2, 100),
                               make_tick(20200103100000, 11.5, 10, 100, 10.2, 100)});
    ticks->set("000002.XSHE", {make_tick(20200102093006, 5.5, 10, 100, 10.2, 100)});
    Runner runner = make_tick_runner();
    runner.set_strategy(std::make_unique<TickLogger>());
    RunResult result = runner.run();
    EXPECT_THAT(g_calls, ::testing::ElementsAre("tick 000001.XSHE 2020-01-02 09:30:03 10.1",
                                                "tick 000002.XSHE 2020-01-02 09:30:06 5.5",
                                                "tick 000001.XSHE 2020-01-02 09:30:09 10.3",
                                                "tick 000001.XSHE 2020-01-03 10:00:00 11.5"));
    // The plain broker leaves the order open; the next snapshot of 000001 (not of 000002) fills
    // it at that snapshot's last price, not at the day's close still ahead.
    ASSERT_EQ(result.trades.size(), 1u);
    EXPECT_EQ(format_datetime(result.trades[0]->trading_datetime()), "2020-01-02 09:30:09");
    EXPECT_EQ(result.trades[0]->last_price(), 10.3);
    EXPECT_DOUBLE_EQ(result.daily[1].market_value, 1100.0);
}

TEST_F(TickLoopFixture, RefusesATickRunWithoutAStoreAndAStoreAnsweringAnotherLayout) {
    config.set("base.frequency", Value("tick"));
    EXPECT_EQ(korvex::testing::error_of<RuntimeError>([&] { make_runner().run(); }),
              "frequency 'tick' needs a tick data store, and no mod registered one (enable "
              "mod.lumeq_data for the bundle's HDF5 ticks)");

    struct WrongLayout : AbstractTickStore {
        Bars get_ticks(const Instrument&, Date) override {
            auto bars = std::make_shared<const std::vector<korvex::testing::SimpleBar>>(
                std::vector<korvex::testing::SimpleBar>{{20200102093000, 1, 1, 1, 1, 1}});
            return Bars::of(bars, korvex::testing::simple_bar_layout());
        }
    };
    Runner runner = make_tick_runner();
    runner.on_environment([this](Environment& env) {
        env.set_data_source(
            make_source({"000001.XSHE", "000002.XSHE"}, std::make_shared<WrongLayout>()));
    });
    runner.set_strategy(std::make_unique<TickLogger>());
    std::string msg = korvex::testing::error_of<RuntimeError>([&] { runner.run(); });
    EXPECT_EQ(msg.substr(0, 72),
              "the tick store answered 000001.XSHE on 2020-01-02 in layout [('datetime'");
}

TEST_F(TickLoopFixture, AStampThatIsNotATimeOfDayStopsTheRunNamingIt) {
    ticks->set("000001.XSHE",
               {korvex::testing::make_tick(20200102093003, 10.1, 10, 100, 10.2, 100),
                korvex::testing::make_tick(20200102096000, 10.1, 10, 100, 10.2, 100)});
    Runner runner = make_tick_runner();
    runner.set_strategy(std::make_unique<TickLogger>());
    EXPECT_EQ(korvex::testing::error_of<ValueError>([&] { runner.run(); }),
              "invalid date-time integer 20200102096000 (expected YYYYMMDDHHMMSS)");
}

TEST_F(TickLoopFixture, ARunThatSawNoSnapshotSaysSo) {
    Runner runner = make_tick_runner();
    runner.set_strategy(std::make_unique<TickLogger>());
    LogCapture log;
    runner.run();
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(log.messages("system_log"),
              std::vector<std::string>{
                  "the tick run saw no quote snapshot: 2 instruments subscribed; does the tick "
                  "store hold data for them between 2020-01-02 and 2020-01-03?"});
}

TEST_F(TickLoopFixture, SubscribingToAnUnknownIdIsRefused) {
    struct Unknown : Strategy {
        void init(StrategyContext& ctx) override { ctx.subscribe("999999.XSHE"); }
    };
    Runner runner = make_tick_runner();
    runner.set_strategy(std::make_unique<Unknown>());
    EXPECT_EQ(korvex::testing::error_of<KeyError>([&] { runner.run(); }),
              "unknown order book id: 999999.XSHE");
}
