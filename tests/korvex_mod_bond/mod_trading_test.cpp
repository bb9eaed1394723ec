// The mod's trading start-up: matching type, cost deciders, validators, broker and matchers.
#include <gtest/gtest.h>

#include "bond_data_fixtures.hpp"
#include "korvex/errors.hpp"
#include "korvex/simulation_broker.hpp"
#include "korvex_mod_bond/matcher.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_bond/quaylet.hpp"
#include "korvex_mod_bond/transaction.hpp"
#include "korvex_mod_bond/validator.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

struct TradingRun {
    bond_test::MemoryClient client;
    bond_test::TempDir dir;
    std::unique_ptr<Environment> env;

    TradingRun(const std::string& frequency, const std::string& matching, bool signal,
               const std::string& accounts = "STOCK = 1000000\nBOND = 1000000") {
        bond_test::write_trading_dates(dir.path(), {20200102, 20200103});
        client->set_bond_list("bond", {});
        client->set_bond_list("repo", {});
        auto config = Config::from_string(
            "[base]\nfrequency = \"" + frequency + "\"\ndata_bundle_path = \"" +
            dir.path().string() + "\"\n[base.accounts]\n" + accounts +
            "\n[mod.bond]\nbond_matching_type = \"" + matching + "\"\n" +
            "[mod.sys_simulation]\nsignal = " + (signal ? "true" : "false") + "\n");
        config.merge_defaults_under(
            "mod.bond", KORVEX_SOURCE_DIR "/korvex_mod_bond/config/korvex_mod_bond.toml");
        env = std::make_unique<Environment>(config);
    }
    void start() {
        BondMod mod;
        mod.start_up(*env, env->config().at("mod.bond"));
    }
    SimulationBroker& broker() { return dynamic_cast<SimulationBroker&>(*env->broker()); }
};

template <class T>
bool is(AbstractMatcher* m) {
    return dynamic_cast<T*>(m) != nullptr;
}

}  // namespace

TEST(BondModTrading, CounterpartyOffersNeedATickRun) {
    for (const char* freq : {"1d", "1m"}) {
        TradingRun run(freq, "counterparty_offer", false);
        try {
            run.start();
            FAIL() << freq;
        } catch (const RuntimeError& e) {
            EXPECT_STREQ(e.what(), "债券撮合类型：counterparty_offer 只可进行tick级别回测！ ");
        }
        // Nothing of trading was installed.
        EXPECT_EQ(run.env->transaction_cost_decider(INSTRUMENT_TYPE::BOND), nullptr);
        EXPECT_TRUE(run.env->frontend_validators(INSTRUMENT_TYPE::BOND).empty());
        EXPECT_EQ(run.env->broker(), nullptr);
    }
    TradingRun tick("tick", "counterparty_offer", false);
    tick.start();
    auto& broker = dynamic_cast<BondBroker&>(*tick.env->broker());
    EXPECT_TRUE(broker._match_immediately);
    EXPECT_TRUE(is<CounterPartyOfferMatcher>(broker.matcher_for(INSTRUMENT_TYPE::BOND)));
    EXPECT_TRUE(is<RepoMatcher>(broker.matcher_for(INSTRUMENT_TYPE::REPO)));
}

TEST(BondModTrading, AnyOtherMatchingTypeUsesTheBarMatcher) {
    TradingRun run("1d", "counterparty", false);
    run.start();
    EXPECT_TRUE(is<BondMatcher>(run.broker().matcher_for(INSTRUMENT_TYPE::BOND)));
}

TEST(BondModTrading, InstallsDecidersAndValidatorsForBothTypes) {
    TradingRun run("1d", "bar", false, "STOCK = 1000000");
    run.start();
    auto* bond = dynamic_cast<BondTransactionDecider*>(
        run.env->transaction_cost_decider(INSTRUMENT_TYPE::BOND));
    ASSERT_NE(bond, nullptr);
    EXPECT_EQ(bond->_ib_commission_rate, 0.00002);
    EXPECT_EQ(bond->_ib_min_commission, 10.0);
    EXPECT_EQ(bond->_exchange_commission_rate, 0.0001);
    EXPECT_EQ(bond->_exchange_max_commission, 100.0);
    EXPECT_NE(dynamic_cast<RepoTransactionDecider*>(
                  run.env->transaction_cost_decider(INSTRUMENT_TYPE::REPO)),
              nullptr);
    ASSERT_EQ(run.env->frontend_validators(INSTRUMENT_TYPE::BOND).size(), 1u);
    EXPECT_NE(dynamic_cast<BondValidator*>(run.env->frontend_validators(INSTRUMENT_TYPE::BOND)[0]),
              nullptr);
    ASSERT_EQ(run.env->frontend_validators(INSTRUMENT_TYPE::REPO).size(), 1u);
    EXPECT_NE(dynamic_cast<RepoValidator*>(run.env->frontend_validators(INSTRUMENT_TYPE::REPO)[0]),
              nullptr);
}

TEST(BondModTrading, TheBrokerFollowsTheSignalMode) {
    {  // signal mode without a broker: the host's broker, which gets no matchers
        TradingRun run("1d", "bar", true);
        run.start();
        ASSERT_NE(run.env->broker(), nullptr);
        EXPECT_EQ(dynamic_cast<BondBroker*>(run.env->broker()), nullptr);
        EXPECT_TRUE(is<DefaultMatcher>(run.broker().matcher_for(INSTRUMENT_TYPE::BOND)));
        EXPECT_FALSE(is<BondMatcher>(run.broker().matcher_for(INSTRUMENT_TYPE::BOND)));
    }
    {  // signal mode with a BondBroker already installed: it stays and gets both matchers
        TradingRun run("1d", "bar", true);
        auto existing =
            std::make_shared<BondBroker>(*run.env, run.env->config().at("mod.sys_simulation"));
        run.env->set_broker(existing);
        run.start();
        EXPECT_EQ(run.env->broker(), existing.get());
        EXPECT_TRUE(is<BondMatcher>(existing->matcher_for(INSTRUMENT_TYPE::BOND)));
        EXPECT_TRUE(is<RepoMatcher>(existing->matcher_for(INSTRUMENT_TYPE::REPO)));
    }
    {  // otherwise a new BondBroker replaces whatever was there
        TradingRun run("1d", "bar", false);
        auto existing = std::make_shared<SimulationBroker>(
            *run.env, run.env->config().at("mod.sys_simulation"));
        run.env->set_broker(existing);
        run.start();
        auto* broker = dynamic_cast<BondBroker*>(run.env->broker());
        ASSERT_NE(broker, nullptr);
        EXPECT_NE(static_cast<AbstractBroker*>(broker), existing.get());
        EXPECT_FALSE(broker->_match_immediately);
        EXPECT_TRUE(is<BondMatcher>(broker->matcher_for(INSTRUMENT_TYPE::BOND)));
        EXPECT_TRUE(is<RepoMatcher>(broker->matcher_for(INSTRUMENT_TYPE::REPO)));
    }
}
