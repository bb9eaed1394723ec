// The loadable mod. It registers nothing itself: the mods that need minute bars create the
// store through korvex_lumeq_make_h5_minbar_store and register it with their data source.
#include "korvex/mod_loader.hpp"

namespace {

class LumeqDataMod : public korvex::AbstractMod {
public:
    void start_up(korvex::Environment&, const korvex::ConfigNode&) override {}
    void tear_down(int, std::exception_ptr) override {}
};

korvex::AbstractMod* create() {
    return new LumeqDataMod();
}
void destroy(korvex::AbstractMod* mod) {
    delete mod;
}

const KorvexModEntry ENTRY{KORVEX_MOD_ABI_VERSION, "lumeq_data", &create, &destroy};

}  // namespace

extern "C" const KorvexModEntry* korvex_mod_entry() {
    return &ENTRY;
}
