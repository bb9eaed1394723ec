#include <gtest/gtest.h>

#include <any>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bond_data_fixtures.hpp"
#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/strategy.hpp"
#include "korvex_mod_bond/api.hpp"
#include "korvex_mod_bond/data.hpp"
#include "korvex_mod_bond/dummy.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "tavlen/errors.hpp"

namespace {

using bond_test::error_of;
using korvex::INSTRUMENT_TYPE;
using korvex::LogLine;
using korvex::TRADING_CALENDAR_TYPE;
using korvex_mod_bond::BondMod;
using Strings = std::vector<std::string>;

// The run's configuration; each test changes only what it is about.
struct Settings {
    std::string run_type_ = "BACKTEST";
    std::string frequency_ = "1d";
    std::string accounts_ = "STOCK = 1000000";
    std::string valuation_source_ = "auto";
    std::string extra_;  // more TOML, after the [mod.bond] section

    Settings& run_type(std::string v) { return set(run_type_, std::move(v)); }
    Settings& frequency(std::string v) { return set(frequency_, std::move(v)); }
    Settings& accounts(std::string v) { return set(accounts_, std::move(v)); }
    Settings& valuation_source(std::string v) { return set(valuation_source_, std::move(v)); }
    Settings& extra(std::string v) { return set(extra_, std::move(v)); }

private:
    Settings& set(std::string& field, std::string v) {
        field = std::move(v);
        return *this;
    }
};

korvex::Config make_config(const Settings& s) {
    auto config = korvex::Config::from_string(
        "[base]\nrun_type = \"" + s.run_type_ + "\"\nfrequency = \"" + s.frequency_ +
        "\"\ndata_bundle_path = \"/data/bundle\"\n[base.accounts]\n" + s.accounts_ +
        "\n[mod.bond]\nvaluation_source = \"" + s.valuation_source_ + "\"\n" + s.extra_ + "\n");
    config.merge_defaults_under("mod.bond",
                                KORVEX_SOURCE_DIR "/korvex_mod_bond/config/korvex_mod_bond.toml");
    return config;
}

class BondModDataTest : public testing::Test {
protected:
    BondModDataTest() {
        client->set_bond_list("bond", {"190210.IB", "019547.SH"});
        client->set_bond_list("repo", {"R007.IB", "204001.SH"});
    }

    korvex::Environment& environment(const Settings& s) {
        env_.reset();  // one environment at a time
        env_ = std::make_unique<korvex::Environment>(make_config(s));
        return *env_;
    }
    // Builds the environment and runs start-up on it.
    korvex::Environment& start(const Settings& s) {
        korvex::Environment& env = environment(s);
        mod.start_up(env, env.config().at("mod.bond"));
        return env;
    }
    // A bond record listed 2019 to 2029, for the stores to serve.
    void add_listed_bond(const std::string& id, const std::string& exchange) {
        client->add_instrument({{"order_book_id", id},
                                {"listed_date", korvex::make_datetime(2019, 1, 1)},
                                {"de_listed_date", korvex::make_datetime(2029, 1, 1)},
                                {"exchange", exchange},
                                {"initial_issue_size", 1e10}});
    }
    std::vector<LogLine> minbar_lines() const {
        std::vector<LogLine> out;
        for (auto& line : log.lines())
            if (line.message.find("minbar") != std::string::npos) out.push_back(line);
        return out;
    }

    bond_test::MemoryClient client;
    korvex::LogCapture log;
    BondMod mod;

private:
    std::unique_ptr<korvex::Environment> env_;
};

TEST_F(BondModDataTest, OtherRunTypesLogOnceAndRegisterNothing) {
    // Whatever the text: anything but BACKTEST disables the mod, never an error.
    for (const char* run_type : {"PAPER_TRADING", "LIVE_TRADING", "paper", ""}) {
        log.clear();
        korvex::Environment& env = start(Settings().run_type(run_type));
        EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"system_log", "info",
                                                      "korvex-mod-bond only support backtest, "
                                                      "disabled"}}));
        EXPECT_EQ(env.data_source(), nullptr);
        EXPECT_EQ(mod._bond_day_bar_store, nullptr);
        EXPECT_EQ(mod._env, &env);
    }
    EXPECT_TRUE(client->calls().empty());
}

TEST_F(BondModDataTest, NeitherStockNorBondAccountLogsOnceAtDebugAndRegistersNothing) {
    korvex::Environment& env = start(Settings().accounts("FUTURE = 1000000"));
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"system_log", "debug",
                                                  "bond or stock account has not been set, "
                                                  "korvex-mod-bond disabled"}}));
    EXPECT_EQ(env.data_source(), nullptr);
    EXPECT_EQ(mod._repo_instrument_store, nullptr);
    EXPECT_TRUE(client->calls().empty());
}

TEST_F(BondModDataTest, EitherAccountAloneEnablesTheMod) {
    for (const char* accounts : {"BOND = 1000000", "STOCK = 1000000", "BOND = 0"}) {
        BondMod fresh;
        korvex::Environment& env = environment(Settings().accounts(accounts));
        fresh.start_up(env, env.config().at("mod.bond"));
        ASSERT_NE(env.data_source(), nullptr) << accounts;
        EXPECT_EQ(env.data_source()->day_bar_store(INSTRUMENT_TYPE::BOND),
                  fresh._bond_day_bar_store.get());
    }
}

TEST_F(BondModDataTest, BondAccountPropertiesFailOnTheContextAndAreNullOnThePortfolio) {
    korvex_mod_bond::load();
    korvex::Environment& env = start(Settings().run_type("PAPER_TRADING"));  // disabled
    env.portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK, 1e6);
    const korvex::StrategyContext context(env);
    EXPECT_EQ(error_of<korvex::KeyError>([&] { context.property("bond_account"); }),
              "no BOND account configured (see [base.accounts])");
    EXPECT_EQ(std::any_cast<korvex::Account*>(env.portfolio().property("bond_account")), nullptr);

    korvex::Account& bond = env.portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::BOND, 5e5);
    EXPECT_EQ(std::any_cast<korvex::Account*>(context.property("bond_account")), &bond);
    EXPECT_EQ(std::any_cast<korvex::Account*>(env.portfolio().property("bond_account")), &bond);
}

struct SourceCase {
    std::string value;
    const std::type_info* store;
    friend std::ostream& operator<<(std::ostream& os, const SourceCase& c) { return os << c.value; }
};

class ValuationSource : public BondModDataTest, public testing::WithParamInterface<SourceCase> {};

TEST_P(ValuationSource, ChoosesExactlyTheNamedBondDayBarStore) {
    start(Settings().valuation_source(GetParam().value));
    ASSERT_NE(mod._bond_day_bar_store, nullptr);
    EXPECT_EQ(typeid(*mod._bond_day_bar_store), *GetParam().store);
    EXPECT_TRUE(korvex_mod_bond::api::api_loaded());
    // The instrument stores ask for their lists while they are built; nothing else is asked.
    EXPECT_EQ(client->calls(),
              (Strings{R"(get_bond_list(type="bond"))", R"(get_bond_list(type="repo"))"}));
}

INSTANTIATE_TEST_SUITE_P(
    ThreeSources, ValuationSource,
    testing::Values(SourceCase{"chinabond", &typeid(korvex_mod_bond::ChinabondBondDayBarStore)},
                    SourceCase{"exchange", &typeid(korvex_mod_bond::ExchangeBondDayBarStore)},
                    SourceCase{"auto", &typeid(korvex_mod_bond::AutoBondDayBarStore)}));

TEST_F(BondModDataTest, UnknownValuationSourceStopsBeforeAnyStoreIsBuilt) {
    for (const char* value : {"Auto", "cfets", ""}) {
        korvex::Environment& env = environment(Settings().valuation_source(value));
        EXPECT_EQ(
            error_of<korvex::ValueError>([&] { mod.start_up(env, env.config().at("mod.bond")); }),
            std::string("invalid valuation_source '") + value + "'");
        EXPECT_EQ(mod._bond_day_bar_store, nullptr);
        EXPECT_EQ(mod._repo_day_bar_store, nullptr);
        EXPECT_EQ(env.data_source(), nullptr);
    }
    EXPECT_TRUE(client->calls().empty());
}

TEST_F(BondModDataTest, RefusalWhileBondInstrumentsAreListedPutsPlaceholdersEverywhere) {
    client->fail_on("get_bond_list",
                    std::make_exception_ptr(tavlen::PermissionDenied("bond data: no licence")));
    korvex::Environment& env = start(Settings().accounts("BOND = 1000000"));

    EXPECT_EQ(client->calls(), Strings{R"(get_bond_list(type="bond"))"});
    using namespace korvex_mod_bond::dummy;
    EXPECT_NE(dynamic_cast<DummyDayBarStore*>(mod._bond_day_bar_store.get()), nullptr);
    EXPECT_NE(dynamic_cast<DummyDayBarStore*>(mod._repo_day_bar_store.get()), nullptr);
    EXPECT_NE(dynamic_cast<DummyInstrumentStore*>(mod._bond_instrument_store.get()), nullptr);
    EXPECT_NE(dynamic_cast<DummyInstrumentStore*>(mod._repo_instrument_store.get()), nullptr);
    EXPECT_NE(dynamic_cast<DummyInterBankCalendarStore*>(mod._inter_bank_calendar_store.get()),
              nullptr);
    EXPECT_EQ(error_of<tavlen::PermissionDenied>([] { std::rethrow_exception(PERMISSION_ERROR); }),
              "bond data: no licence");

    // Registered like real stores; every request for data tells why there is none.
    const auto& source = *env.data_source();
    EXPECT_EQ(source.day_bar_store(INSTRUMENT_TYPE::BOND), mod._bond_day_bar_store.get());
    EXPECT_EQ(source.day_bar_store(INSTRUMENT_TYPE::REPO), mod._repo_day_bar_store.get());
    ASSERT_EQ(source.instrument_stores().size(), 2u);
    EXPECT_EQ(source.calendar_store(TRADING_CALENDAR_TYPE::INTER_BANK),
              mod._inter_bank_calendar_store.get());
    EXPECT_TRUE(source.instrument_stores()[0]->all_id_and_syms().empty());
    const std::string why = "bond data: no licence";
    EXPECT_EQ(
        error_of<tavlen::PermissionDenied>([&] { env.data_proxy().instruments("190210.IB"); }),
        why);
    EXPECT_EQ(error_of<tavlen::PermissionDenied>(
                  [&] { source.day_bar_store(INSTRUMENT_TYPE::BOND)->get_bars("190210.IB"); }),
              why);
    EXPECT_EQ(error_of<tavlen::PermissionDenied>(
                  [&] { source.get_trading_calendar(TRADING_CALENDAR_TYPE::INTER_BANK); }),
              why);
    // A lazy request raises only when its first element is asked for.
    auto sequence = source.instrument_stores()[1]->get_instruments(std::nullopt);
    EXPECT_EQ(error_of<tavlen::PermissionDenied>([&] { sequence.begin(); }), why);
}

// On a data source that already served other instruments, the mod's stores become visible; after
// a refusal the placeholders refuse bonds and repos, and the stocks still resolve.
TEST_F(BondModDataTest, OtherStoresKeepWorkingAndTheProxySeesTheModsStores) {
    add_listed_bond("190210.IB", "CFETS");
    for (bool refused : {false, true}) {
        if (refused)
            client->fail_on("get_bond_list",
                            std::make_exception_ptr(tavlen::PermissionDenied("bond data: no licence")));
        korvex::Environment& env = environment(Settings().accounts("BOND = 1000000"));
        auto source = std::make_shared<korvex::BaseDataSource>("/data/bundle",
                                                               std::map<std::string, korvex::Value>{});
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            INSTRUMENT_TYPE::CS,
            std::vector<korvex::InstrumentPtr>{korvex::testing::make_instrument("000001.XSHE")}));
        env.set_data_source(source);
        ASSERT_NE(env.data_proxy().find_instrument("000001.XSHE"), nullptr);  // indexed already
        mod.start_up(env, env.config().at("mod.bond"));
        EXPECT_NE(env.data_proxy().find_instrument("000001.XSHE"), nullptr) << refused;
        if (refused) {
            EXPECT_EQ(error_of<tavlen::PermissionDenied>(
                          [&] { env.data_proxy().instruments("190210.IB"); }),
                      "bond data: no licence");
        } else {
            EXPECT_NE(env.data_proxy().find_instrument("190210.IB"), nullptr);
        }
    }
}

// Under exchange prices the book's analytics come from the exchange store alone: no Chinabond
// valuations are fetched behind the user's back, and a bond without analytics is named once.
TEST_F(BondModDataTest, BookAnalyticsReadOnlyTheRunsOwnBars) {
    add_listed_bond("019547.SH", "XSHG");
    korvex::Environment& env =
        start(Settings().valuation_source("exchange").accounts("STOCK = 1000000"));
    env.calendar_dt = korvex::make_datetime(2020, 1, 3, 15);
    env.portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK, 1e6);
    env.portfolio()
        .account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK)
        .get_position("019547.SH", korvex::POSITION_DIRECTION::LONG)
        .set_state({{"old_quantity", 100.0}});
    log.clear();
    for (auto& [name, metric] : env.daily_metrics())
        if (name == "dv01" || name == "modified_duration") {
            EXPECT_EQ(metric(env), 0.0) << name;
        }
    for (const std::string& call : client->calls())
        EXPECT_EQ(call.find("get_valuation"), std::string::npos) << call;
    EXPECT_EQ(log.messages("system_log"),
              std::vector<std::string>{
                  "book analytics: 019547.SH has no dv01 on 2020-01-03 in the bars of this run "
                  "and is left out of dv01 and modified_duration "
                  "(mod.bond.analytics_from_valuations = true reads Chinabond valuations where "
                  "the bars have none)"});
}

TEST_F(BondModDataTest, RefusalOfInstrumentRecordsComesOnlyWithTheFirstLookup) {
    client->fail_on("instruments", std::make_exception_ptr(tavlen::PermissionDenied("records")));
    korvex::Environment& env = start(Settings());
    EXPECT_NE(dynamic_cast<korvex_mod_bond::BondInstrumentStore*>(mod._bond_instrument_store.get()),
              nullptr);
    EXPECT_EQ(
        error_of<tavlen::PermissionDenied>([&] { env.data_proxy().instruments("190210.IB"); }),
        "records");
}

TEST_F(BondModDataTest, OtherClientErrorsEndStartUp) {
    client->fail_on("get_bond_list", std::make_exception_ptr(tavlen::DataError("no table")));
    korvex::Environment& env = environment(Settings());
    EXPECT_EQ(error_of<tavlen::DataError>([&] { mod.start_up(env, env.config().at("mod.bond")); }),
              "no table");
    EXPECT_EQ(env.data_source(), nullptr);
}

TEST_F(BondModDataTest, ExistingDataSourceReceivesTheStoresInOrderAndIsInstalledAgain) {
    korvex::Environment& env = environment(Settings());
    auto own = std::make_shared<korvex::BaseDataSource>("/elsewhere",
                                                        std::map<std::string, korvex::Value>{});
    env.set_data_source(own);
    mod.start_up(env, env.config().at("mod.bond"));
    EXPECT_EQ(env.data_source(), own);
    EXPECT_EQ(own->day_bar_store(INSTRUMENT_TYPE::BOND), mod._bond_day_bar_store.get());
    EXPECT_EQ(own->day_bar_store(INSTRUMENT_TYPE::REPO), mod._repo_day_bar_store.get());
    ASSERT_EQ(own->instrument_stores().size(), 2u);
    EXPECT_EQ(own->instrument_stores()[0], mod._bond_instrument_store);
    EXPECT_EQ(own->instrument_stores()[1], mod._repo_instrument_store);
}

TEST_F(BondModDataTest, NewDataSourceIsBuiltFromTheBundleAndFutureInfo) {
    korvex::Environment& env = start(Settings().extra("[base.future_info]\nIF = 300\n"));
    EXPECT_EQ(env.data_source()->bundle_path(), "/data/bundle");
    EXPECT_EQ(env.data_source()->future_info(),
              (std::map<std::string, korvex::Value>{{"IF", korvex::Value(300)}}));

    BondMod without;
    korvex::Environment& env2 = environment(Settings());
    without.start_up(env2, env2.config().at("mod.bond"));
    EXPECT_TRUE(env2.data_source()->future_info().empty());
}

struct CalendarCase {
    std::string accounts;
    bool registered;
    friend std::ostream& operator<<(std::ostream& os, const CalendarCase& c) {
        return os << c.accounts;
    }
};

class InterBankCalendarRegistration : public BondModDataTest,
                                      public testing::WithParamInterface<CalendarCase> {};

TEST_P(InterBankCalendarRegistration, NeedsABondAccountWithATrueValue) {
    korvex::Environment& env = start(Settings().accounts(GetParam().accounts));
    const auto* store = env.data_source()->calendar_store(TRADING_CALENDAR_TYPE::INTER_BANK);
    EXPECT_EQ(store, GetParam().registered ? mod._inter_bank_calendar_store.get() : nullptr);
    EXPECT_EQ(env.data_source()->instrument_stores().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Accounts, InterBankCalendarRegistration,
                         testing::Values(CalendarCase{"BOND = 1000000", true},
                                         CalendarCase{"BOND = 0.5", true},
                                         CalendarCase{"BOND = 0", false},
                                         CalendarCase{"BOND = 0\nSTOCK = 1000000", false},
                                         CalendarCase{"STOCK = 1000000", false}));

class ReplayDataSource : public korvex::BaseDataSource,
                         public korvex_mod_bond::WithoutStoreRegistration {
public:
    ReplayDataSource() : BaseDataSource("/replay", {}) {}
};
class NoMinbarDataSource : public korvex::BaseDataSource,
                           public korvex_mod_bond::WithoutMinbarStoreRegistration {
public:
    NoMinbarDataSource() : BaseDataSource("/nominbar", {}) {}
};

TEST_F(BondModDataTest, DataSourceThatTakesNoStoresEndsStartUpNamingItsType) {
    korvex::Environment& env = environment(Settings().accounts("BOND = 1"));
    auto replay = std::make_shared<ReplayDataSource>();
    env.set_data_source(replay);
    EXPECT_EQ(
        error_of<korvex::RuntimeError>([&] { mod.start_up(env, env.config().at("mod.bond")); }),
        "korvex-mod-bond only supports data sources like BaseDataSource, current data source is "
        "ReplayDataSource");
    EXPECT_EQ(replay->day_bar_store(INSTRUMENT_TYPE::BOND), nullptr);
    EXPECT_TRUE(replay->instrument_stores().empty());
    EXPECT_EQ(replay->calendar_store(TRADING_CALENDAR_TYPE::INTER_BANK), nullptr);
}

TEST_F(BondModDataTest, DailyAndTickRunsAttemptNoMinuteBarStore) {
    for (const char* frequency : {"1d", "tick"}) {
        korvex::Environment& env = start(Settings().frequency(frequency));
        EXPECT_EQ(env.data_source()->minbar_store(INSTRUMENT_TYPE::BOND), nullptr);
    }
    EXPECT_TRUE(minbar_lines().empty());
}

TEST_F(BondModDataTest, MinuteRunOnADataSourceWithoutMinuteStoresLogsAtInfo) {
    korvex::Environment& env = environment(Settings().frequency("1m"));
    env.set_data_source(std::make_shared<NoMinbarDataSource>());
    mod.start_up(env, env.config().at("mod.bond"));
    EXPECT_EQ(minbar_lines(),
              (std::vector<LogLine>{{"system_log", "info",
                                     "Bond minbar store disabled, current data source "
                                     "BaseDataSource(/nominbar)"}}));
    EXPECT_EQ(env.data_source()->minbar_store(INSTRUMENT_TYPE::BOND), nullptr);
    EXPECT_NE(env.data_source()->day_bar_store(INSTRUMENT_TYPE::BOND), nullptr);
}

TEST_F(BondModDataTest, MinuteRunWithoutTheHostMarketDataModWarnsAndGoesOn) {
    mod._minbar_module = "korvex_mod_lumeq_data_not_installed";
    korvex::Environment& env = start(Settings().frequency("1m"));
    EXPECT_EQ(minbar_lines(),
              (std::vector<LogLine>{{"system_log", "warning",
                                     "contertible minbar store disabled, korvex_mod_lumeq_data "
                                     "needed"}}));
    EXPECT_EQ(env.data_source()->minbar_store(INSTRUMENT_TYPE::BOND), nullptr);
}

// The host's market-data mod is looked for where every mod is: base.mod_path included.
TEST_F(BondModDataTest, MinuteRunFindsTheHostMarketDataModOnTheModPath) {
    korvex::testing::TempDir dir;
    std::filesystem::copy_file(KORVEX_BUILD_DIR "/lib/libkorvex_mod_lumeq_data.so",
                               dir.path() / "libkorvex_mod_lumeq_elsewhere.so");
    mod._minbar_module = "korvex_mod_lumeq_elsewhere";
    korvex::Environment& env = environment(Settings().frequency("1m"));
    env.config().set_override("base.mod_path=[\"" + dir.path().string() + "\"]");
    mod.start_up(env, env.config().at("mod.bond"));
    EXPECT_TRUE(minbar_lines().empty());
    EXPECT_NE(env.data_source()->minbar_store(INSTRUMENT_TYPE::BOND), nullptr);
}

struct MinbarPathCase {
    std::string extra;
    std::string directory;
    friend std::ostream& operator<<(std::ostream& os, const MinbarPathCase& c) {
        return os << "'" << c.extra << "'";
    }
};

class MinuteBarDirectory : public BondModDataTest,
                           public testing::WithParamInterface<MinbarPathCase> {};

TEST_P(MinuteBarDirectory, IsTheConfiguredPathElseTheBundlesH5Folder) {
    korvex::Environment& env = start(Settings().frequency("1m").extra(GetParam().extra));
    EXPECT_TRUE(minbar_lines().empty());
    auto* store = dynamic_cast<korvex_mod_lumeq_data::H5MinBarStore*>(
        env.data_source()->minbar_store(INSTRUMENT_TYPE::BOND));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->directory(), GetParam().directory);
    ASSERT_EQ(store->dtypes_map().size(), 1u);
    EXPECT_EQ(store->dtypes_map().at("Bond"), korvex_mod_bond::bond_minbar_layout());
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, MinuteBarDirectory,
    testing::Values(MinbarPathCase{"", "/data/bundle/h5"},
                    MinbarPathCase{"[mod.lumeq_data]\nh5_minbar_path = \"\"\n", "/data/bundle/h5"},
                    MinbarPathCase{"[mod.lumeq_data]\nenabled = false\n", "/data/bundle/h5"},
                    MinbarPathCase{"[mod.lumeq_data]\nh5_minbar_path = \"/minutes\"\n",
                                   "/minutes"}));

}  // namespace
