// Order placement and the default matcher: fills at the bar, refusals with their reasons.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "korvex/api.hpp"
#include "korvex/logger.hpp"
#include "korvex/simulation_broker.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;
using korvex::testing::TempDir;

namespace {

struct BrokerFixture : ::testing::Test {
    TempDir dir;
    std::vector<Date> days{make_date(2020, 1, 2), make_date(2020, 1, 3)};
    std::unique_ptr<Environment> env;
    std::shared_ptr<SimulationBroker> broker;
    std::shared_ptr<korvex::testing::FakeDayBarStore> bars =
        std::make_shared<korvex::testing::FakeDayBarStore>();

    void SetUp() override {
        korvex::testing::write_trading_dates(dir.path(), days);
        env = std::make_unique<Environment>(Config());
        env->portfolio().add_account(DEFAULT_ACCOUNT_TYPE::STOCK, 10000);
        auto source = std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::CS,
            std::vector<InstrumentPtr>{korvex::testing::make_instrument("A.XSHE"),
                                       korvex::testing::make_instrument("B.XSHE")}));
        bars->set("A.XSHE", {{20200102000000, 9.5, 10.0, 10.5, 9.0, 1000}});
        source->register_day_bar_store(INSTRUMENT_TYPE::CS, bars);
        env->set_data_source(source);
        broker = std::make_shared<SimulationBroker>(*env, env->config().at("mod.sys_simulation"));
        env->set_broker(broker);
        env->calendar_dt = env->trading_dt = make_datetime(2020, 1, 2, 15);
    }
    Account& account() { return env->portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK); }
};

}  // namespace

TEST_F(BrokerFixture, FillsAtTheCloseCappedByTheBarVolume) {
    auto order = submit_order(*env, "A.XSHE", 300, SIDE::BUY, POSITION_EFFECT::OPEN);
    ASSERT_NE(order, nullptr);
    EXPECT_DOUBLE_EQ(account().frozen_cash(), 3000.0);
    broker->on_bar();
    // 25% of a volume of 1000 is 250, rounded down to the lot of 100: 200 filled.
    EXPECT_EQ(order->filled_quantity(), 200);
    EXPECT_DOUBLE_EQ(account().cash(), 7000.0);  // 3000 reserved, 2000 of it paid
    EXPECT_DOUBLE_EQ(account().frozen_cash(), 1000.0);
    broker->after_trading();
    EXPECT_EQ(order->status(), ORDER_STATUS::CANCELLED);
    EXPECT_EQ(order->message(), fmt::format("order {} of A.XSHE expired at the close, partly "
                                            "filled: 200 of 300",
                                            order->order_id()));
    EXPECT_DOUBLE_EQ(account().cash(), 8000.0);
    EXPECT_DOUBLE_EQ(account().frozen_cash(), 0.0);
    EXPECT_DOUBLE_EQ(account().total_value(), 10000.0);
}

TEST_F(BrokerFixture, RejectsWithoutMarketDataAndReleasesTheCash) {
    LogCapture log;
    auto order = submit_order(*env, "B.XSHE", 100, SIDE::BUY, POSITION_EFFECT::OPEN, 5.0);
    ASSERT_NE(order, nullptr);
    broker->on_bar();
    EXPECT_EQ(order->status(), ORDER_STATUS::REJECTED);
    EXPECT_EQ(order->message(), "Order rejected: B.XSHE has no market data at 2020-01-02 15:00:00");
    EXPECT_EQ(log.messages("user_system_log").back(), order->message());
    EXPECT_DOUBLE_EQ(account().cash(), 10000.0);
}

TEST_F(BrokerFixture, RefusesBadOrdersWithOneWarningAndBooksNothing) {
    struct Case {
        std::string id;
        double qty;
        SIDE side;
        POSITION_EFFECT effect;
        std::string warning;
    };
    const std::vector<Case> cases{
        {"X.XSHE", 100, SIDE::BUY, POSITION_EFFECT::OPEN,
         "Order creation failed: unknown order book id X.XSHE"},
        {"A.XSHE", std::nan(""), SIDE::BUY, POSITION_EFFECT::OPEN,
         "Order creation failed: quantity nan of A.XSHE is not a positive number"},
        {"A.XSHE", -100, SIDE::BUY, POSITION_EFFECT::OPEN,
         "Order creation failed: quantity -100 of A.XSHE is not a positive number"},
        {"A.XSHE", 2000, SIDE::BUY, POSITION_EFFECT::OPEN,
         "Order creation failed: not enough cash for 2000 A.XSHE: needs 20000.00, available "
         "10000.00"},
        {"A.XSHE", 100, SIDE::SELL, POSITION_EFFECT::CLOSE,
         "Order creation failed: cannot close 100 A.XSHE: closable quantity is 0"},
    };
    for (auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(submit_order(*env, c.id, c.qty, c.side, c.effect), nullptr) << c.warning;
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.warning});
        EXPECT_TRUE(broker->get_open_orders().empty());
        EXPECT_DOUBLE_EQ(account().cash(), 10000.0);
    }
}

TEST_F(BrokerFixture, MatchesImmediatelyWhenAsked) {
    broker->_match_immediately = true;
    auto order = submit_order(*env, "A.XSHE", 100, SIDE::BUY, POSITION_EFFECT::OPEN);
    ASSERT_NE(order, nullptr);
    EXPECT_EQ(order->status(), ORDER_STATUS::FILLED);
    EXPECT_TRUE(broker->get_open_orders().empty());
    EXPECT_DOUBLE_EQ(account().get_position("A.XSHE", POSITION_DIRECTION::LONG).quantity(), 100);
}

namespace {
// Five per fill, and five estimated for an order.
struct FlatCost : AbstractTransactionCostDecider {
    double get_trade_tax(const Trade&) override { return 0; }
    double get_trade_commission(const Trade&) override { return 5; }
    double get_order_transaction_cost(const Order&) override { return 5; }
};
}  // namespace

// A market buy reserves its value moved by the slippage, and its cost: a second order that fits
// the cash alone but not beside the first is refused; the order's cost is its fills' only.
TEST_F(BrokerFixture, ReservesWhatTheFillWillCostAndRefusesWhatNoLongerFits) {
    Config config;
    config.set("mod.sys_simulation.slippage", Value(0.01));
    broker = std::make_shared<SimulationBroker>(*env, config.at("mod.sys_simulation"));
    env->set_broker(broker);
    env->set_transaction_cost_decider(INSTRUMENT_TYPE::CS, std::make_shared<FlatCost>());
    auto first = submit_order(*env, "A.XSHE", 300, SIDE::BUY, POSITION_EFFECT::OPEN);
    ASSERT_NE(first, nullptr);
    EXPECT_DOUBLE_EQ(account().frozen_cash(), 300 * 10.1 + 5 * 1.01);
    LogCapture log;
    EXPECT_EQ(submit_order(*env, "A.XSHE", 690, SIDE::BUY, POSITION_EFFECT::OPEN), nullptr);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"Order creation failed: not enough cash for 690 A.XSHE: "
                                       "needs 6974.05, available 6964.95"});
    broker->on_bar();
    broker->after_trading();
    EXPECT_EQ(first->filled_quantity(), 200);
    EXPECT_DOUBLE_EQ(first->transaction_cost(), 5);
    EXPECT_DOUBLE_EQ(account().cash(), 10000 - 200 * 10.1 - 5);
    EXPECT_DOUBLE_EQ(account().frozen_cash(), 0);
    account().check_books(make_date(2020, 1, 2));
}

namespace {
// A fixed cost per fill above the order's estimate, as an inter-bank minimum commission paid
// by every fill of an order.
struct CostlyFills : FlatCost {
    double get_trade_commission(const Trade&) override { return 50; }
};
}  // namespace

// A fill that would take more than the free cash and its share of the reservation is not
// booked: cash never goes below zero.
TEST_F(BrokerFixture, AFillTheCashCannotPayIsRejected) {
    env->set_transaction_cost_decider(INSTRUMENT_TYPE::CS, std::make_shared<CostlyFills>());
    auto order = submit_order(*env, "A.XSHE", 300, SIDE::BUY, POSITION_EFFECT::OPEN);
    ASSERT_NE(order, nullptr);  // reserves 3005
    // A limit far below the market reserves the rest and never fills.
    ASSERT_NE(submit_order(*env, "A.XSHE", 6990, SIDE::BUY, POSITION_EFFECT::OPEN, 1.0), nullptr);
    EXPECT_DOUBLE_EQ(account().cash(), 0);
    broker->on_bar();
    EXPECT_EQ(order->status(), ORDER_STATUS::REJECTED);
    EXPECT_EQ(order->message(),
              "Order rejected: 200 of A.XSHE needs 2050.00 in cash, 2003.33 is free");
    EXPECT_DOUBLE_EQ(account().balance(), 10000);
    EXPECT_DOUBLE_EQ(account().cash(), 3005);
    EXPECT_TRUE(account().journal().entries().empty());
}

namespace {
struct FakeMinuteBars : AbstractMinBarStore {
    std::map<std::string, std::shared_ptr<const std::vector<korvex::testing::SimpleBar>>> bars;
    Bars get_bars(const Instrument& ins) override {
        auto it = bars.find(ins.order_book_id());
        return it == bars.end() ? Bars()
                                : Bars::of(it->second, korvex::testing::simple_bar_layout());
    }
};
}  // namespace

// What each matching type fills at, at each frequency: the price of the run's own clock,
// never one observed after the fill. A has minute bars, B only day bars.
TEST(Fills, EachFrequencyAndMatchingTypeFillsAtItsOwnClocksPrice) {
    struct Case {
        std::string frequency, matching, id;
        std::vector<std::string> steps;  // times at which the broker matches ("+" a new day)
        std::string filled_at;
        double price, quantity;
    };
    using korvex::testing::make_tick;
    const std::vector<Case> cases{
        {"1d", "current_bar", "A.XSHE", {"15:00"}, "2020-01-02 15:00:00", 10.0, 200},
        // Placed at the close, filled at the next day's open: the order stays open overnight.
        {"1d", "next_bar", "A.XSHE", {"15:00", "+15:00"}, "2020-01-03 15:00:00", 10.2, 300},
        {"1m", "current_bar", "A.XSHE", {"09:31"}, "2020-01-02 09:31:00", 9.7, 100},
        {"1m", "next_bar", "A.XSHE", {"09:31", "09:32"}, "2020-01-02 09:32:00", 9.8, 200},
        // A minute that trades nothing leaves the order waiting for one that does.
        {"1m", "current_bar", "A.XSHE", {"09:33", "09:34"}, "2020-01-02 09:34:00", 10.1, 100},
        // No minute bars: the day's price is known at its close, in the session's last minute.
        {"1m",
         "current_bar",
         "B.XSHE",
         {"09:31", "14:59", "15:00"},
         "2020-01-02 15:00:00",
         5.5,
         200},
        {"tick", "current_bar", "A.XSHE", {"09:30:05"}, "2020-01-02 09:30:05", 10.1, 300},
        {"tick", "next_bar", "A.XSHE", {"09:30:05", "09:30:09"}, "2020-01-02 09:30:09", 10.3, 300},
    };
    TempDir dir;
    korvex::testing::write_trading_dates(dir.path(),
                                         {make_date(2020, 1, 2), make_date(2020, 1, 3)});
    for (const auto& c : cases) {
        const std::string name = c.frequency + " " + c.matching + " " + c.id;
        Config config;
        config.set("base.frequency", Value(c.frequency));
        config.set("mod.sys_simulation.matching_type", Value(c.matching));
        Environment env(config);
        env.portfolio().add_account(DEFAULT_ACCOUNT_TYPE::STOCK, 10000);
        auto source = std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::CS,
            std::vector<InstrumentPtr>{korvex::testing::make_instrument("A.XSHE"),
                                       korvex::testing::make_instrument("B.XSHE")}));
        auto days = std::make_shared<korvex::testing::FakeDayBarStore>();
        days->set("A.XSHE", {{20200102000000, 9.5, 10.0, 10.5, 9.0, 1000},
                             {20200103000000, 10.2, 10.4, 10.5, 10.1, 2000}});
        days->set("B.XSHE", {{20200102000000, 5.0, 5.5, 5.6, 4.9, 1000}});
        source->register_day_bar_store(INSTRUMENT_TYPE::CS, days);
        auto minutes = std::make_shared<FakeMinuteBars>();
        minutes->bars["A.XSHE"] = std::make_shared<const std::vector<korvex::testing::SimpleBar>>(
            std::vector<korvex::testing::SimpleBar>{{20200102093100, 9.6, 9.7, 9.7, 9.6, 400},
                                                    {20200102093200, 9.8, 9.9, 9.9, 9.8, 800},
                                                    {20200102093300, 9.9, 9.9, 9.9, 9.9, 0},
                                                    {20200102093400, 10.0, 10.1, 10.1, 10.0, 400}});
        source->register_minbar_store(INSTRUMENT_TYPE::CS, minutes);
        env.set_data_source(source);
        auto broker =
            std::make_shared<SimulationBroker>(env, env.config().at("mod.sys_simulation"));
        env.set_broker(broker);
        env.set_latest_tick("A.XSHE", make_tick(20200102093003, 10.1, 10.0, 100, 10.2, 100));

        Date day = make_date(2020, 1, 2);
        auto at = [&](const std::string& time) {
            std::string t = time;
            if (t.front() == '+') {
                broker->after_trading();
                day = make_date(2020, 1, 3);
                t = t.substr(1);
            }
            env.calendar_dt = env.trading_dt =
                parse_datetime(format_date(day) + " " + (t.size() == 5 ? t + ":00" : t));
        };
        at(c.steps.front());
        auto order = submit_order(env, c.id, 300, SIDE::BUY, POSITION_EFFECT::OPEN);
        ASSERT_NE(order, nullptr) << name;
        for (const auto& step : c.steps) {
            at(step);
            if (step == "09:30:09")
                env.set_latest_tick("A.XSHE",
                                    make_tick(20200102093009, 10.3, 10.2, 100, 10.4, 100));
            broker->on_bar();
        }
        ASSERT_EQ(env.trades().size(), 1u) << name;
        const Trade& t = *env.trades().front();
        EXPECT_EQ(format_datetime(t.trading_datetime()), c.filled_at) << name;
        EXPECT_EQ(t.last_price(), c.price) << name;
        EXPECT_EQ(t.last_quantity(), c.quantity) << name;
        broker->after_trading();
        Account& account = env.portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK);
        EXPECT_DOUBLE_EQ(account.cash(), 10000 - c.price * c.quantity) << name;
    }
}
