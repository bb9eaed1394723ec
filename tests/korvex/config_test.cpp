#include <gtest/gtest.h>

#include <fstream>

#include "korvex/config.hpp"
#include "korvex/errors.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;

namespace {}  // namespace

TEST(Config, ReadsSectionsLikeAttributesOverTheDefaults) {
    Config c = Config::from_string("[base]\nfrequency = \"1m\"\n[base.accounts]\nBOND = 5e6\n");
    EXPECT_EQ(c["base"]["frequency"].as_string(), "1m");
    EXPECT_EQ(c.at("base.run_type").as_string(), "BACKTEST");  // default kept
    EXPECT_EQ(c.at("base.accounts.BOND").as_double(), 5e6);
    EXPECT_FALSE(c.at("base.accounts").contains("STOCK"));
    EXPECT_EQ(c.at("mod.sys_simulation.matching_type").as_string(), "current_bar");
}

TEST(Config, MissingEntriesAndWrongTypesNameTheKey) {
    Config c;
    EXPECT_EQ(korvex::testing::error_of<AttributeError>([&] { c["base"]["nope"]; }),
              "configuration has no entry 'base.nope'");
    EXPECT_EQ(korvex::testing::error_of<AttributeError>([&] { c.at("mod.bond.valuation_source"); }),
              "configuration has no entry 'mod.bond'");
    c.set_override("base.frequency=5");
    EXPECT_EQ(korvex::testing::error_of<TypeError>([&] { c.at("base.frequency").as_string(); }),
              "configuration entry base.frequency must be a text, got integer 5");
}

TEST(Config, ParseErrorsNameFileLineAndColumn) {
    korvex::testing::TempDir dir;
    auto path = dir.path() / "bad.toml";
    std::ofstream(path) << "[base]\nstart_date = \"2020-01-02\"\nend_date = = 3\n";
    std::string msg = korvex::testing::error_of<ValueError>([&] { Config().merge_file(path); });
    EXPECT_NE(msg.find(path.string()), std::string::npos) << msg;
    EXPECT_NE(msg.find("line 3"), std::string::npos) << msg;
}

TEST(Config, OverridesParseTomlValuesAndFallBackToText) {
    Config c;
    c.set_override("base.start_date=2021-01-04");  // a TOML date literal, kept as the text
    c.set_override("mod.sys_simulation.volume_percent=0.5");
    c.set_override("strategy.name=ladder");
    EXPECT_EQ(c.at("mod.sys_simulation.volume_percent").as_double(), 0.5);
    EXPECT_EQ(c.at("strategy.name").as_string(), "ladder");
    EXPECT_EQ(c.at("base.start_date").as_string(), "2021-01-04");
    EXPECT_THROW(c.set_override("noequals"), ValueError);
}

TEST(Config, ModDefaultsSitUnderTheUsersValues) {
    korvex::testing::TempDir dir;
    auto defaults = dir.path() / "korvex_mod_x.toml";
    std::ofstream(defaults) << "enabled = false\nrate = 0.1\nname = \"default\"\n";
    Config c = Config::from_string("[mod.x]\nenabled = true\nrate = 0.2\n");
    c.merge_defaults_under("mod.x", defaults);
    EXPECT_TRUE(c.at("mod.x.enabled").as_bool());
    EXPECT_EQ(c.at("mod.x.rate").as_double(), 0.2);
    EXPECT_EQ(c.at("mod.x.name").as_string(), "default");
}

TEST(Config, TruthOfValuesAsAUserReadsThem) {
    Config c = Config::from_string("[t]\nzero = 0\none = 1.5\nno = false\nempty = \"\"\n");
    EXPECT_FALSE(c.at("t.zero").truthy());
    EXPECT_TRUE(c.at("t.one").truthy());
    EXPECT_FALSE(c.at("t.no").truthy());
    EXPECT_FALSE(c.at("t.empty").truthy());
}
