// The loadable mod. In tick runs it serves the quote snapshots: once every mod has started and
// the run's data source is final, it registers an H5TickStore over h5_tick_path (empty: the
// bundle's h5/ticks folder) there. Minute bars it leaves to the mods that need them: they create
// the store through korvex_lumeq_make_h5_minbar_store and register it with their data source.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "korvex/data/base_data_source.hpp"
#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex_mod_lumeq_data/tick_store.hpp"

namespace {

std::filesystem::path tick_directory(const korvex::Environment& env,
                                     const korvex::ConfigNode& mod_config) {
    if (std::optional<korvex::ConfigNode> node = mod_config.find("h5_tick_path"))
        if (std::string path = node->as_string(); !path.empty()) return path;
    return std::filesystem::path(env.config().at("base.data_bundle_path").as_string()) / "h5" /
           "ticks";
}

class LumeqDataMod : public korvex::AbstractMod {
public:
    void start_up(korvex::Environment& env, const korvex::ConfigNode& mod_config) override {
        if (env.config().at("base.frequency").as_string() != "tick") return;
        // Read now, so that a bad setting fails the start-up that names the mod.
        std::filesystem::path directory = tick_directory(env, mod_config);
        env.add_post_system_init([directory = std::move(directory)](korvex::Environment& e) {
            if (!e.data_source())
                throw korvex::RuntimeError("lumeq_data: no data source to register the ticks on");
            e.data_source()->register_tick_store(
                std::make_shared<korvex_mod_lumeq_data::H5TickStore>(directory));
        });
    }
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
