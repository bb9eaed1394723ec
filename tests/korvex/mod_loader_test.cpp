// Mods loaded from shared libraries, as the host does in a run.
#include <gtest/gtest.h>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex/strategy.hpp"

using namespace korvex;

TEST(ModLoader, AMissingModNamesEveryDirectorySearched) {
    try {
        load_mod("absent", {"/nowhere/a", "/nowhere/b"});
        FAIL();
    } catch (const ImportError& e) {
        std::string msg = e.what();
        EXPECT_NE(msg.find("libkorvex_mod_absent.so not found in "), std::string::npos) << msg;
        EXPECT_NE(msg.find("/nowhere/a, /nowhere/b"), std::string::npos) << msg;
    }
}

TEST(ModLoader, RefusesALibraryBuiltForAnotherAbi) {
    try {
        load_mod("wrongabi", {KORVEX_TESTLIB_DIR});
        FAIL();
    } catch (const ImportError& e) {
        std::string msg = e.what();
        EXPECT_NE(msg.find("libkorvex_mod_wrongabi.so was built for mod ABI 102, the host has 2"),
                  std::string::npos)
            << msg;
    }
}

TEST(ModLoader, LoadsTheBondModFromItsLibraryAndItsProperties) {
    EXPECT_FALSE(StrategyContext::has_property("bond_account"));
    LoadedMod mod = load_mod("bond");
    EXPECT_EQ(std::string(mod.entry->name), "bond");
    EXPECT_EQ(mod.default_config.filename(), "korvex_mod_bond.toml");
    // Loading the library installed the properties, before any mod object exists.
    EXPECT_TRUE(StrategyContext::has_property("bond_account"));
    EXPECT_TRUE(Portfolio::has_property("bond_account"));

    Config config = Config::from_string("[base]\nrun_type = \"PAPER_TRADING\"\n");
    config.merge_defaults_under("mod.bond", mod.default_config);
    Environment env(config);
    env.portfolio().add_account(DEFAULT_ACCOUNT_TYPE::STOCK, 100);
    std::unique_ptr<AbstractMod, void (*)(AbstractMod*)> bond(mod.entry->create(),
                                                              mod.entry->destroy);
    LogCapture log;
    bond->start_up(env, config.at("mod.bond"));
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{
                  {"system_log", "info", "korvex-mod-bond only support backtest, disabled"}}));
    bond->tear_down(0);

    // The portfolio's property yields none without a bond account; the context's raises.
    EXPECT_EQ(std::any_cast<Account*>(env.portfolio().property("bond_account")), nullptr);
    StrategyContext ctx(env);
    EXPECT_THROW(ctx.property("bond_account"), KeyError);
}
