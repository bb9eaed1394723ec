// The library as the host and the bond mod see it: loaded at run time, entry points by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "korvex/data/base_data_source.hpp"
#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "korvex_mod_lumeq_data/tick_store.hpp"
#include "korvex_test_support.hpp"

namespace {

void* library() {
    static void* handle =
        dlopen(KORVEX_BUILD_DIR "/lib/libkorvex_mod_lumeq_data.so", RTLD_NOW | RTLD_LOCAL);
    return handle;
}

TEST(LumeqDataMod, ExportsItsEntryWithTheHostAbi) {
    ASSERT_NE(library(), nullptr) << dlerror();
    auto entry_fn = reinterpret_cast<korvex_mod_entry_fn>(dlsym(library(), "korvex_mod_entry"));
    ASSERT_NE(entry_fn, nullptr);
    const KorvexModEntry* entry = entry_fn();
    EXPECT_EQ(entry->abi_version, KORVEX_MOD_ABI_VERSION);
    EXPECT_STREQ(entry->name, "lumeq_data");
    korvex::AbstractMod* mod = entry->create();
    ASSERT_NE(mod, nullptr);
    EXPECT_NO_THROW(mod->tear_down(0, nullptr));
    entry->destroy(mod);
}

TEST(LumeqDataMod, FactoryFoundByNameBuildsAStoreOverTheDirectory) {
    ASSERT_NE(library(), nullptr) << dlerror();
    auto make = reinterpret_cast<korvex_lumeq_make_h5_minbar_store_fn>(
        dlsym(library(), KORVEX_LUMEQ_MAKE_H5_MINBAR_STORE));
    ASSERT_NE(make, nullptr);
    const std::map<std::string, korvex::RecordLayout> layouts{
        {"Bond", korvex::RecordLayout{{"datetime", "<i8"}, {"close", "<f8"}}}};
    std::unique_ptr<korvex::AbstractMinBarStore> store(make("/no/such/dir", &layouts));
    auto* h5 = dynamic_cast<korvex_mod_lumeq_data::H5MinBarStore*>(store.get());
    ASSERT_NE(h5, nullptr);
    EXPECT_EQ(h5->directory(), "/no/such/dir");
    EXPECT_EQ(h5->dtypes_map(), layouts);
    korvex::Instrument bond(korvex::Record{{"order_book_id", "X.IB"}, {"type", "BOND"}});
    EXPECT_TRUE(store->get_bars(bond).empty());
}

using ModPtr = std::unique_ptr<korvex::AbstractMod, void (*)(korvex::AbstractMod*)>;

ModPtr make_mod() {
    auto entry_fn = reinterpret_cast<korvex_mod_entry_fn>(dlsym(library(), "korvex_mod_entry"));
    const KorvexModEntry* entry = entry_fn();
    return ModPtr(entry->create(), entry->destroy);
}

// The run's configuration as the runner builds it: the user's text over the shipped defaults.
korvex::Config make_config(const std::string& frequency, const std::string& section = "",
                           bool shipped_defaults = true) {
    auto config = korvex::Config::from_string("[base]\nfrequency = \"" + frequency +
                                              "\"\ndata_bundle_path = \"/data/bundle\"\n"
                                              "[mod.lumeq_data]\nenabled = true\n" +
                                              section);
    if (shipped_defaults)
        config.merge_defaults_under(
            "mod.lumeq_data",
            KORVEX_SOURCE_DIR "/host/korvex_mod_lumeq_data/config/korvex_mod_lumeq_data.toml");
    return config;
}

std::shared_ptr<korvex::BaseDataSource> data_source() {
    return std::make_shared<korvex::BaseDataSource>("/data/bundle",
                                                    std::map<std::string, korvex::Value>{});
}

TEST(LumeqDataMod, TickRunRegistersTheStoreOnTheDataSourceTheRunEndsUpWith) {
    ASSERT_NE(library(), nullptr) << dlerror();
    korvex::Environment env(make_config("tick"));
    auto early = data_source();
    env.set_data_source(early);
    ModPtr mod = make_mod();
    mod->start_up(env, env.config().at("mod.lumeq_data"));
    // Another mod replaces the data source after this one started.
    auto final_source = data_source();
    env.set_data_source(final_source);
    EXPECT_EQ(final_source->tick_store(), nullptr);

    env.run_post_system_init();
    auto* store = dynamic_cast<korvex_mod_lumeq_data::H5TickStore*>(final_source->tick_store());
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->directory(), "/data/bundle/h5/ticks");
    EXPECT_EQ(early->tick_store(), nullptr);
}

TEST(LumeqDataMod, OtherFrequenciesRegisterNoTickStore) {
    ASSERT_NE(library(), nullptr) << dlerror();
    for (const char* frequency : {"1d", "1m"}) {
        korvex::Environment env(make_config(frequency));
        ModPtr mod = make_mod();
        mod->start_up(env, env.config().at("mod.lumeq_data"));
        env.set_data_source(data_source());
        env.run_post_system_init();
        EXPECT_EQ(env.data_source()->tick_store(), nullptr) << frequency;
    }
}

TEST(LumeqDataMod, TickPathOfAnotherTypeFailsTheStartUp) {
    ASSERT_NE(library(), nullptr) << dlerror();
    korvex::Environment env(make_config("tick", "h5_tick_path = false\n"));
    ModPtr mod = make_mod();
    EXPECT_EQ(korvex::testing::error_of<korvex::TypeError>(
                  [&] { mod->start_up(env, env.config().at("mod.lumeq_data")); }),
              "configuration entry mod.lumeq_data.h5_tick_path must be a text, got false");
}

TEST(LumeqDataMod, HookWithoutADataSourceSaysSo) {
    ASSERT_NE(library(), nullptr) << dlerror();
    korvex::Environment env(make_config("tick"));
    ModPtr mod = make_mod();
    mod->start_up(env, env.config().at("mod.lumeq_data"));
    EXPECT_EQ(korvex::testing::error_of<korvex::RuntimeError>([&] { env.run_post_system_init(); }),
              "lumeq_data: no data source to register the ticks on");
}

struct TickPathCase {
    std::string section;
    bool shipped_defaults;
    std::string directory;
    friend std::ostream& operator<<(std::ostream& os, const TickPathCase& c) {
        return os << "'" << c.section << "'" << (c.shipped_defaults ? "" : " without defaults");
    }
};

class TickDirectory : public testing::TestWithParam<TickPathCase> {};

TEST_P(TickDirectory, IsTheConfiguredPathElseTheBundlesTickFolder) {
    ASSERT_NE(library(), nullptr) << dlerror();
    const TickPathCase& c = GetParam();
    korvex::Environment env(make_config("tick", c.section, c.shipped_defaults));
    ModPtr mod = make_mod();
    mod->start_up(env, env.config().at("mod.lumeq_data"));
    env.set_data_source(data_source());
    env.run_post_system_init();
    auto* store =
        dynamic_cast<korvex_mod_lumeq_data::H5TickStore*>(env.data_source()->tick_store());
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->directory(), c.directory);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, TickDirectory,
    testing::Values(TickPathCase{"", true, "/data/bundle/h5/ticks"},
                    TickPathCase{"", false, "/data/bundle/h5/ticks"},
                    TickPathCase{"h5_tick_path = \"\"\n", true, "/data/bundle/h5/ticks"},
                    TickPathCase{"h5_tick_path = \"/quotes\"\n", true, "/quotes"},
                    TickPathCase{"h5_minbar_path = \"/minutes\"\n", true,
                                 "/data/bundle/h5/ticks"}));

}  // namespace
