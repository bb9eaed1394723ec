// Order placement and the default matcher: fills at the bar, refusals with their reasons.
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
    EXPECT_EQ(order->message(), "Order rejected: 200 of A.XSHE needs 2050.00 in cash, 2003.33 is free");
    EXPECT_DOUBLE_EQ(account().balance(), 10000);
    EXPECT_DOUBLE_EQ(account().cash(), 3005);
    EXPECT_TRUE(account().journal().entries().empty());
}
