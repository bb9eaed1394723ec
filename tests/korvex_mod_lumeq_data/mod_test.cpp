// The library as the host and the bond mod see it: loaded at run time, entry points by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "korvex/mod_loader.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"

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

}  // namespace
