// Costs, order validators and the bond broker.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "korvex/api.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/data/repo_day_bar_store.hpp"
#include "korvex_mod_bond/matcher.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/quaylet.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_mod_bond/transaction.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "korvex_mod_bond/validator.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/memory_backend.hpp"

using namespace korvex;
using namespace korvex_mod_bond;
using korvex::testing::TempDir;

namespace {

// First of the binary: nothing has started a mod yet, the package is only linked in.
TEST(BondModLinkedIn, BondAccountIsThereFromTheStart) {
    EXPECT_TRUE(StrategyContext::has_property("bond_account"));
    EXPECT_TRUE(Portfolio::has_property("bond_account"));
}

InstrumentPtr bond(const std::string& id, Record extra = {}) {
    Record r{
        {"order_book_id", id},
        {"listed_date", make_datetime(2010, 1, 4)},
        {"de_listed_date", make_datetime(2030, 1, 4)},
        {"exchange", ends_with(id, ".IB") ? "CFETS" : (ends_with(id, ".SH") ? "XSHG" : "XSHE")},
        {"initial_issue_size", 3e10}};
    for (auto& [k, v] : extra) r.set(k, v);
    return std::make_shared<BondInstrument>(r);
}

InstrumentPtr repo(const std::string& id, const std::string& exchange, int period) {
    return std::make_shared<RepoInstrument>(
        Record{{"order_book_id", id},
               {"repo_period", period},
               {"exchange", exchange},
               {"account_type", ends_with(id, ".IB") ? "BOND" : "STOCK"},
               {"listed_date", make_datetime(1999, 1, 1)},
               {"de_listed_date", make_datetime(2999, 12, 31)}});
}

struct TradingFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<Environment> env;

    // A client without cash flows: the bonds repay nothing before maturity.
    void TearDown() override { tavlen::set_backend(nullptr); }
    void SetUp() override {
        tavlen::set_backend(std::make_shared<tavlen::MemoryBackend>());
        korvex::testing::write_trading_dates(
            dir.path(), korvex::testing::weekdays(make_date(2020, 1, 1), make_date(2020, 3, 31)));
        Config config;
        config.merge_defaults_under(
            "mod.bond", KORVEX_SOURCE_DIR "/korvex_mod_bond/config/korvex_mod_bond.toml");
        env = std::make_unique<Environment>(config);
        env->portfolio().add_account(DEFAULT_ACCOUNT_TYPE::STOCK, 1e7);
        env->portfolio().add_account(DEFAULT_ACCOUNT_TYPE::BOND, 1e7);
        auto source = std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::BOND,
            std::vector<InstrumentPtr>{
                bond("019547.SH"), bond("101801.SZ"), bond("180205.IB"),
                bond("SMALL.SH", {{"initial_issue_size", 100000.0}}),
                bond("NOSIZE.SH", {{"initial_issue_size", 0}}),
                bond("EMPTYSIZE.SH", {{"initial_issue_size", Value()}}),
                bond("SHORT.IB", {{"maturity_date", make_datetime(2020, 1, 6)}}),
                bond("SHORT.SH", {{"de_listed_date", make_datetime(2020, 1, 3)}})}));
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::REPO,
            std::vector<InstrumentPtr>{repo("204001.SH", "XSHG", 1), repo("131810.SZ", "XSHE", 1),
                                       repo("R001.IB", "NIB", 1), repo("ODD.SH", "XSHX", 1)}));
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::CS,
            std::vector<InstrumentPtr>{korvex::testing::make_instrument("000001.XSHE")}));
        env->set_data_source(source);
        position::load(*env);
        env->trading_dt = env->calendar_dt = make_datetime(2020, 1, 3, 15);
    }

    Account& stock() { return env->portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK); }

    // Buys `quantity` units of a bond straight into its position.
    void hold(const std::string& id, double quantity) {
        auto t = Trade::from_create(1, 100.0, quantity, SIDE::BUY, POSITION_EFFECT::OPEN, id);
        env->portfolio().account_for(id).apply_trade(*t);
    }
    // Pledges `quantity` units of a held bond to a one-day exchange financing.
    void pledge(const std::string& id, double quantity) {
        auto t = RepoTrade::create_exchange_repo_trade(1, 0.02, quantity * 100, "204001.SH", 1.0,
                                                       id, quantity);
        env->portfolio().account_for(id).get_position(id, POSITION_DIRECTION::LONG).apply_trade(*t);
    }
    OrderPtr order(const std::string& id, double qty, SIDE side = SIDE::BUY,
                   POSITION_EFFECT effect = POSITION_EFFECT::OPEN, Record extra = {}) {
        return Order::create(id, qty, side, effect, std::nullopt, std::move(extra));
    }
};

}  // namespace

TEST_F(TradingFixture, BondCommissionIsCappedOnExchangesAndFlooredInterBank) {
    BondTransactionDecider d(0.00002, 10, 0.0001, 100);
    struct Case {
        double price, qty;
        std::string id;
        double expected;
    };
    for (const Case& c : std::vector<Case>{{100, 10, "019547.SH", 0.1},
                                           {100, 10000, "019547.SH", 100},  // exactly the cap
                                           {100, 10010, "019547.SH", 100},  // above the cap
                                           {0, 0, "019547.SH", 0},          // no floor
                                           {100, 1000, "180205.IB", 10},    // 2 -> floor
                                           {0, 0, "180205.IB", 10},         // zero value -> floor
                                           {100, 10000000, "180205.IB", 20000}}) {  // no cap
        auto t = Trade::from_create(1, c.price, c.qty, SIDE::BUY, POSITION_EFFECT::OPEN, c.id);
        EXPECT_DOUBLE_EQ(d.get_trade_commission(*t), c.expected) << c.id << " " << c.qty;
        EXPECT_EQ(d.get_trade_tax(*t), 0);
    }
    auto o = order("019547.SH", 10);
    o->set_frozen_price(101.0);
    EXPECT_DOUBLE_EQ(d.get_order_transaction_cost(*o), 101.0 * 10 * 0.0001);
}

TEST_F(TradingFixture, RepoCostIsTheCommissionOfTheCashAmount) {
    RepoTransactionDecider d;
    auto o = order("204001.SH", 100000, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                   {{"bond_order_book_id", "019547.SH"}, {"haircut", 0.9}});
    EXPECT_DOUBLE_EQ(d.get_order_transaction_cost(*o), calc_repo_commission("204001.SH", 90000));
    auto t = RepoTrade::create_exchange_reverse_repo_trade(1, 0.02, 50000, "204001.SH");
    EXPECT_DOUBLE_EQ(d.get_trade_commission(*t), calc_repo_commission("204001.SH", 50000));
    EXPECT_EQ(d.get_trade_tax(*t), 0);
}

TEST_F(TradingFixture, BondValidatorChecksQuantities) {
    BondValidator v(*env);
    struct Case {
        std::string id;
        double qty;
        bool ok;
    };
    for (const Case& c : std::vector<Case>{{"180205.IB", 1000, true},
                                           {"180205.IB", 900, false},   // below 1000
                                           {"180205.IB", 1050, false},  // not a lot multiple
                                           {"180205.IB", 0, false},
                                           {"019547.SH", 0, true},  // exchange minimum is 0
                                           {"019547.SH", 15, false},
                                           {"019547.SH", std::nan(""), false}}) {
        LogCapture log;
        EXPECT_EQ(v.can_submit_order(*order(c.id, c.qty), nullptr), c.ok) << c.id << " " << c.qty;
        std::vector<std::string> expected;
        if (!c.ok) expected.push_back(fmt::format("下单失败，数量 {} 不合法", c.qty));
        EXPECT_EQ(log.messages("user_system_log"), expected);
    }
    EXPECT_EQ(fmt::format("{}", std::nan("")), "nan");
}

TEST_F(TradingFixture, BondValidatorRefusesClosingPledgedBonds) {
    hold("019547.SH", 100);
    pledge("019547.SH", 30);
    BondValidator v(*env);
    LogCapture log;
    EXPECT_FALSE(
        v.can_submit_order(*order("019547.SH", 100, SIDE::SELL, POSITION_EFFECT::CLOSE), &stock()));
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{
                  "订单创建失败:  019547.SH 的仓位不足, 目标平仓 100, 可平仓位为 70"});
    log.clear();
    EXPECT_TRUE(
        v.can_submit_order(*order("019547.SH", 70, SIDE::SELL, POSITION_EFFECT::CLOSE), &stock()));
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(TradingFixture, BondValidatorKeepsHoldingsWithinTheIssue) {
    BondValidator v(*env);
    // 100000 yuan issued at 100: 1000 units.
    hold("SMALL.SH", 500);
    EXPECT_TRUE(v.can_submit_order(*order("SMALL.SH", 500), &stock()));
    LogCapture log;
    EXPECT_FALSE(v.can_submit_order(*order("SMALL.SH", 510), &stock()));
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{
                  "订单创建失败：持仓数量 500 接近 SMALL.SH 债券发行总额上限 100000"});
    EXPECT_TRUE(v.can_submit_order(*order("NOSIZE.SH", 1000000), &stock()));
    EXPECT_TRUE(v.can_submit_order(*order("EMPTYSIZE.SH", 1000000), &stock()));
}

TEST_F(TradingFixture, BondValidatorRaisesForAnInstrumentThatIsNotABond) {
    BondValidator v(*env);
    try {
        v.can_submit_order(*order("000001.XSHE", 100), &stock());
        FAIL();
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "wrong type for bond instrument: Instrument");
    }
    EXPECT_TRUE(v.can_cancel_order(*order("019547.SH", 10), &stock()));
}

TEST_F(TradingFixture, RepoValidatorHoldsExchangeFinancingToTheMinimum) {
    hold("019547.SH", 10000);  // face value 1,000,000
    hold("101801.SZ", 10000);
    RepoValidator v(*env);
    struct Case {
        std::string repo, bond;
        double qty;
        bool ok;
        std::vector<std::string> warnings;
    };
    const std::string too_small = "场内债券正回购失败，场内债券抵押名义价值应在 {} 元及以上";
    for (const Case& c : std::vector<Case>{
             {"131810.SZ", "101801.SZ", 999, false, {fmt::format(fmt::runtime(too_small), 1000)}},
             {"131810.SZ", "101801.SZ", 1000, true, {}},
             {"204001.SH",
              "019547.SH",
              99999,
              false,
              {fmt::format(fmt::runtime(too_small), 100000)}},
             {"204001.SH", "019547.SH", 100000, true, {}},
             {"204001.SH", "019547.SH", 1000000, true, {}},  // exactly the face value
             {"204001.SH",
              "019547.SH",
              1000100,
              true,
              {"正回购名义金额超过当前持仓票面价值, 实际成交 1000000 元"}},
         }) {
        LogCapture log;
        auto o = order(c.repo, c.qty, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                       {{"bond_order_book_id", c.bond}, {"haircut", 1.0}});
        EXPECT_EQ(v.can_submit_order(*o, nullptr), c.ok) << c.repo << " " << c.qty;
        EXPECT_EQ(log.messages(), c.warnings) << c.repo << " " << c.qty;
    }
}

TEST_F(TradingFixture, RepoValidatorWarnsWhenEverythingIsAlreadyPledged) {
    hold("019547.SH", 1000);
    pledge("019547.SH", 1000);
    RepoValidator v(*env);
    LogCapture log;
    auto o = order("204001.SH", 100000, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                   {{"bond_order_book_id", "019547.SH"}, {"haircut", 1.0}});
    EXPECT_TRUE(v.can_submit_order(*o, nullptr));
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"正回购名义金额超过当前持仓票面价值, 实际成交 0 元"});
}

TEST_F(TradingFixture, RepoValidatorPassesLendingAndInterBankPledgesUnexamined) {
    RepoValidator v(*env);
    LogCapture log;
    EXPECT_TRUE(v.can_submit_order(*order("204001.SH", 1, SIDE::MARGIN), nullptr));
    EXPECT_TRUE(v.can_submit_order(*order("R001.IB", 1, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                                          {{"bond_order_book_id", "180205.IB"}}),
                                   nullptr));
    EXPECT_TRUE(log.messages().empty());
    // An exchange without a defined minimum refuses clearly instead of guessing one.
    hold("019547.SH", 10000);
    EXPECT_FALSE(v.can_submit_order(*order("ODD.SH", 100000, SIDE::FINANCING, POSITION_EFFECT::OPEN,
                                           {{"bond_order_book_id", "019547.SH"}}),
                                    nullptr));
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{
                  "场内债券正回购失败，回购 ODD.SH 的交易所 'XSHX' 没有规定最低抵押名义价值"});
    EXPECT_TRUE(v.can_cancel_order(*order("204001.SH", 1, SIDE::MARGIN), nullptr));
}

TEST_F(TradingFixture, BondBrokerMatchesImmediatelyOnlyInTickRuns) {
    for (const char* freq : {"1d", "1m", "tick"}) {
        env->config().set("base.frequency", Value(freq));
        BondBroker broker(*env, env->config().at("mod.sys_simulation"));
        EXPECT_EQ(broker._match_immediately, std::string(freq) == "tick") << freq;
    }
}

TEST_F(TradingFixture, CounterpartyOffersFillAtTheBestQuoteUpToItsSizeOnce) {
    env->config().set("base.frequency", Value("tick"));
    const ConfigNode sim = env->config().at("mod.sys_simulation");
    auto broker = std::make_shared<BondBroker>(*env, sim);
    broker->register_matcher(INSTRUMENT_TYPE::BOND,
                             std::make_shared<CounterPartyOfferMatcher>(*env, sim));
    env->set_broker(broker);
    hold("101801.SZ", 100);
    const double cash0 = stock().cash();
    auto snapshot = [&](const std::string& id, const TickRecord& t) {
        env->trading_dt = env->calendar_dt = datetime_from_int(t.datetime);
        broker->on_tick(env->set_latest_tick(id, t));
    };
    using korvex::testing::make_tick;

    // Nothing is quoted yet: the order waits for the first snapshot.
    OrderPtr early = submit_order(*env, "019547.SH", 50, SIDE::BUY, POSITION_EFFECT::OPEN);
    ASSERT_NE(early, nullptr);
    EXPECT_TRUE(early->is_active());
    EXPECT_EQ(early->filled_quantity(), 0);

    // 75 units on the ask: the early order takes 50, a second one the remaining 2 lots.
    snapshot("019547.SH", make_tick(20200103093003, 101.2, 101.1, 40, 101.3, 75));
    EXPECT_EQ(early->status(), ORDER_STATUS::FILLED);
    EXPECT_EQ(early->avg_price(), 101.3);
    OrderPtr second = submit_order(*env, "019547.SH", 40, SIDE::BUY, POSITION_EFFECT::OPEN);
    EXPECT_EQ(second->filled_quantity(), 20);
    EXPECT_TRUE(second->is_active());
    // A snapshot of another bond does not touch it; the next one of its own fills the rest.
    snapshot("101801.SZ", make_tick(20200103093004, 99.0, 98.9, 1000, 99.1, 1000));
    EXPECT_EQ(second->filled_quantity(), 20);
    snapshot("019547.SH", make_tick(20200103093006, 101.3, 101.15, 40, 101.35, 100));
    EXPECT_EQ(second->status(), ORDER_STATUS::FILLED);
    EXPECT_DOUBLE_EQ(second->avg_price(), (20 * 101.3 + 20 * 101.35) / 40);

    // Sells hit the bid; a limit above it waits, and so does a buy limit under the ask.
    OrderPtr sell = submit_order(*env, "101801.SZ", 30, SIDE::SELL, POSITION_EFFECT::CLOSE);
    EXPECT_EQ(sell->status(), ORDER_STATUS::FILLED);
    EXPECT_EQ(sell->avg_price(), 98.9);
    OrderPtr high = submit_order(*env, "101801.SZ", 10, SIDE::SELL, POSITION_EFFECT::CLOSE, 99.0);
    OrderPtr low = submit_order(*env, "019547.SH", 10, SIDE::BUY, POSITION_EFFECT::OPEN, 101.0);
    EXPECT_EQ(high->filled_quantity(), 0);
    EXPECT_EQ(low->filled_quantity(), 0);

    Position* held = stock().find_position("019547.SH", POSITION_DIRECTION::LONG);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->quantity(), 90);
    EXPECT_EQ(stock().find_position("101801.SZ", POSITION_DIRECTION::LONG)->quantity(), 70);
    // Cash moves by each fill's price times units, to the cent.
    EXPECT_NEAR(stock().cash() + stock().frozen_cash(),
                cash0 - 70 * 101.3 - 20 * 101.35 + 30 * 98.9, 0.005);

    // A quote older than the accepted age is not taken: the order waits for a fresh one.
    env->config().set("mod.bond.offer_max_age", Value(60));
    broker->register_matcher(INSTRUMENT_TYPE::BOND,
                             std::make_shared<CounterPartyOfferMatcher>(*env, sim));
    env->trading_dt = env->calendar_dt = make_datetime(2020, 1, 3, 9, 40);
    OrderPtr late = submit_order(*env, "019547.SH", 10, SIDE::BUY, POSITION_EFFECT::OPEN);
    EXPECT_EQ(late->filled_quantity(), 0);
    snapshot("019547.SH", make_tick(20200103094003, 101.4, 101.3, 40, 101.5, 100));
    EXPECT_EQ(late->status(), ORDER_STATUS::FILLED);
    EXPECT_EQ(late->avg_price(), 101.5);

    LogCapture log;
    broker->after_trading();
    EXPECT_EQ(high->status(), ORDER_STATUS::CANCELLED);
    EXPECT_EQ(low->status(), ORDER_STATUS::CANCELLED);
    EXPECT_EQ(log.messages("user_system_log").size(), 2u);
}

// Repo orders are refused at once where nothing could fill them, and lending reserves its cash.
TEST_F(TradingFixture, RepoOrdersNeedTheRepoMatcherAndLendingReservesItsCash) {
    const ConfigNode sim = env->config().at("mod.sys_simulation");
    StrategyContext ctx(*env);
    hold("019547.SH", 5000);
    env->set_broker(std::make_shared<SimulationBroker>(*env, sim));  // as in signal mode
    {
        LogCapture log;
        EXPECT_EQ(api::exchange_reverse_repo(ctx, "204001.SH", 1e6), nullptr);
        EXPECT_EQ(api::exchange_repo_financing(ctx, "204001.SH", 2e5, "019547.SH", 0.9), nullptr);
        const std::string why =
            "Order creation failed: 204001.SH cannot be traded: repo orders need the bond "
            "broker's repo matcher, which signal mode (mod.sys_simulation.signal) does not "
            "install";
        EXPECT_EQ(log.messages(), (std::vector<std::string>{why, why}));
    }
    auto broker = std::make_shared<BondBroker>(*env, sim);
    broker->register_matcher(INSTRUMENT_TYPE::REPO, std::make_shared<RepoMatcher>(*env, sim));
    env->set_broker(broker);
    env->set_transaction_cost_decider(INSTRUMENT_TYPE::REPO,
                                      std::make_shared<RepoTransactionDecider>());
    const double free = stock().cash();
    ASSERT_NE(api::exchange_reverse_repo(ctx, "204001.SH", 6e6), nullptr);
    EXPECT_DOUBLE_EQ(stock().frozen_cash(), 6e6 + 60);
    LogCapture log;
    EXPECT_EQ(api::exchange_reverse_repo(ctx, "204001.SH", 5e6), nullptr);
    EXPECT_EQ(log.messages(), std::vector<std::string>{fmt::format(
                                  "Order creation failed: lending 5000000 on 204001.SH needs "
                                  "5000050.00 with commission, cash is {:.2f}",
                                  free - 6e6 - 60)});
}

// A pledge must outlive the repo: a bond repaid by the due date is refused as collateral.
TEST_F(TradingFixture, ABondRepaidByTheDueDateCannotBePledged) {
    const ConfigNode sim = env->config().at("mod.sys_simulation");
    auto broker = std::make_shared<BondBroker>(*env, sim);
    broker->register_matcher(INSTRUMENT_TYPE::REPO, std::make_shared<RepoMatcher>(*env, sim));
    env->set_broker(broker);
    StrategyContext ctx(*env);
    hold("SHORT.IB", 5000);
    hold("SHORT.SH", 5000);
    LogCapture log;
    // Friday 2020-01-03: a one-day repo is due on Monday 2020-01-06.
    EXPECT_EQ(api::ib_repo(ctx, 1, 1e5, "SHORT.IB", 1.0), nullptr);
    EXPECT_EQ(api::exchange_repo_financing(ctx, "204001.SH", 2e5, "SHORT.SH", 1.0), nullptr);
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "Order creation failed: SHORT.IB cannot be pledged for R001.IB: it is repaid "
                  "on 2020-01-06, on or before the repo's due date 2020-01-06",
                  "Order creation failed: SHORT.SH cannot be pledged for 204001.SH: it is "
                  "repaid on 2020-01-03, on or before the repo's due date 2020-01-06"}));
    EXPECT_EQ(env->portfolio()
                  .account(DEFAULT_ACCOUNT_TYPE::BOND)
                  .get_position("SHORT.IB", POSITION_DIRECTION::LONG)
                  .closable(),
              5000);
}

namespace {
// One day of repo rates: the open, the close (a spike) and the volume-weighted rate.
struct RepoRates : AbstractDayBarStore {
    Bars get_bars(const std::string&) override {
        return Bars::of(std::make_shared<const std::vector<RepoBar>>(std::vector<RepoBar>{
                            {20200103000000, 0.020, 0.035, 0.036, 0.019, 1e9, 1e9, 0.025}}),
                        RepoDayBarStore::DTYPE);
    }
};
}  // namespace

// Exchange repo orders in whole trading units, at least the exchange's minimum, against bonds of
// the repo's own exchange; filled at the configured field of the day's repo bar, limits capping.
TEST_F(TradingFixture, ExchangeRepoOrdersFollowLotsMinimumsAndTheChosenRate) {
    const ConfigNode sim = env->config().at("mod.sys_simulation");
    auto broker = std::make_shared<BondBroker>(*env, sim);
    broker->register_matcher(INSTRUMENT_TYPE::REPO, std::make_shared<RepoMatcher>(*env, sim));
    env->set_broker(broker);
    env->data_source()->register_day_bar_store(INSTRUMENT_TYPE::REPO,
                                               std::make_shared<RepoRates>());
    env->add_frontend_validator(std::make_shared<RepoValidator>(*env), INSTRUMENT_TYPE::REPO);
    StrategyContext ctx(*env);
    hold("019547.SH", 10000);
    hold("101801.SZ", 10000);
    hold("SMALL.SH", 50);  // face value 5000

    struct Case {
        std::string what;
        std::function<OrderPtr()> place;
        std::string warning;  // empty: accepted
        double quantity;
    };
    const std::vector<Case> cases{
        {"Shenzhen financing below its unit",
         [&] { return api::exchange_repo_financing(ctx, "131810.SZ", 50000, "101801.SZ"); },
         "Order creation failed: amount 50000 of 131810.SZ is less than its trading unit of 100000",
         0},
        {"Shenzhen financing rounded down",
         [&] { return api::exchange_repo_financing(ctx, "131810.SZ", 150000, "101801.SZ"); }, "",
         100000},
        {"a Shanghai bond in a Shenzhen repo",
         [&] { return api::exchange_repo_financing(ctx, "131810.SZ", 100000, "019547.SH"); },
         "Order creation failed: 019547.SH is listed on XSHG and cannot be pledged in 131810.SZ "
         "of XSHE",
         0},
        {"Shanghai lending rounded down",
         [&] { return api::exchange_reverse_repo(ctx, "204001.SH", 150500); }, "", 150000},
        {"Shanghai lending below the minimum",
         [&] { return api::exchange_reverse_repo(ctx, "204001.SH", 50000); },
         "Order creation failed: lending 50000 on 204001.SH is below the exchange's minimum of "
         "100000",
         0},
        {"Shenzhen lending below its unit",
         [&] { return api::exchange_reverse_repo(ctx, "131810.SZ", 50000); },
         "Order creation failed: lending 50000 on 131810.SZ is below the exchange's minimum of "
         "100000",
         0},
    };
    for (const auto& c : cases) {
        LogCapture log;
        OrderPtr o = c.place();
        EXPECT_EQ(o == nullptr, !c.warning.empty()) << c.what;
        if (o) {
            EXPECT_EQ(o->quantity(), c.quantity) << c.what;
        }
        EXPECT_EQ(log.messages(), c.warning.empty() ? std::vector<std::string>{}
                                                    : std::vector<std::string>{c.warning})
            << c.what;
    }

    // Filled at the day's weighted rate, not its closing spike; a borrower's limit under it waits.
    auto lend = api::exchange_reverse_repo(ctx, "204001.SH", 200000);
    auto capped = api::exchange_repo_financing(ctx, "204001.SH", 200000, "019547.SH", 1.0, 0.024);
    // A pledge worth 5000 cut from 200000 falls below Shanghai's minimum: refused, not filled.
    auto small = api::exchange_repo_financing(ctx, "204001.SH", 200000, "SMALL.SH");
    ASSERT_TRUE(lend && capped && small);
    LogCapture log;
    broker->on_bar();
    EXPECT_EQ(lend->status(), ORDER_STATUS::FILLED);
    EXPECT_EQ(lend->avg_price(), 0.025);
    EXPECT_EQ(capped->status(), ORDER_STATUS::ACTIVE);
    EXPECT_EQ(small->status(), ORDER_STATUS::REJECTED);
    EXPECT_EQ(small->message(),
              "Order rejected: the closable SMALL.SH covers 5000 on 204001.SH, below the "
              "exchange's minimum of 100000");
    // Inter-bank repos are booked at once at the same field; the cash moves by the amount.
    const double bond_cash = env->portfolio().account(DEFAULT_ACCOUNT_TYPE::BOND).cash();
    auto ib = api::ib_reverse_repo(ctx, 1, 500000);
    ASSERT_NE(ib, nullptr);
    EXPECT_EQ(ib->last_price(), 0.025);
    EXPECT_EQ(env->portfolio().account(DEFAULT_ACCOUNT_TYPE::BOND).cash(), bond_cash - 500000);

    // Intraday the day's weighted and closing rates lie ahead: repos fill at its open.
    env->config().set("base.frequency", Value("1m"));
    auto intraday = api::exchange_reverse_repo(ctx, "204001.SH", 100000);
    broker->on_bar();
    EXPECT_EQ(intraday->avg_price(), 0.020);
    EXPECT_EQ(api::ib_reverse_repo(ctx, 1, 500000)->last_price(), 0.020);
}
