#include "korvex_mod_bond/mod.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/mod_loader.hpp"

namespace korvex_mod_bond {

using korvex::DEFAULT_ACCOUNT_TYPE;

const korvex::RecordLayout& bond_minbar_layout() {
    static const korvex::RecordLayout layout{{"datetime", "<i8"}, {"open", "<f8"},
                                             {"high", "<f8"},     {"low", "<f8"},
                                             {"close", "<f8"},    {"volume", "<f8"},
                                             {"total_turnover", "<f8"}};
    return layout;
}

BondMod::BondMod() { _dtypes_map.emplace("Bond", bond_minbar_layout()); }

void BondMod::start_up(korvex::Environment& env, const korvex::ConfigNode& mod_config) {
    (void)mod_config;
    _env = &env;
    const korvex::ConfigNode base = env.config()["base"];
    if (korvex::parse_enum<korvex::RUN_TYPE>(base["run_type"].as_string()) !=
        korvex::RUN_TYPE::BACKTEST) {
        korvex::system_log().info("korvex-mod-bond only support backtest, disabled");
        return;
    }
    const korvex::ConfigNode accounts = base["accounts"];
    if (!accounts.contains(korvex::name(DEFAULT_ACCOUNT_TYPE::STOCK)) &&
        !accounts.contains(korvex::name(DEFAULT_ACCOUNT_TYPE::BOND))) {
        korvex::system_log().debug("bond or stock account has not been set, korvex-mod-bond disabled");
        return;
    }
}

void BondMod::tear_down(int, std::exception_ptr) {}

void BondMod::_register_dummy_data_stores(std::exception_ptr) {}

void BondMod::_register_minbar_store(korvex::BaseDataSource&) {}

korvex::Account& context_bond_account(const korvex::StrategyContext& context) {
    return context.portfolio().account(DEFAULT_ACCOUNT_TYPE::BOND);
}

korvex::Account* mod_bond_account(const korvex::Portfolio& portfolio) {
    const auto& accounts = portfolio._accounts();
    auto it = accounts.find(std::string(korvex::name(DEFAULT_ACCOUNT_TYPE::BOND)));
    return it == accounts.end() ? nullptr : it->second;
}

void load() {
    korvex::StrategyContext::install_property("bond_account", [](const korvex::StrategyContext& c) {
        return std::any(&context_bond_account(c));
    });
    korvex::Portfolio::install_property("bond_account", [](const korvex::Portfolio& p) {
        return std::any(mod_bond_account(p));
    });
}

}  // namespace korvex_mod_bond

extern "C" {

static korvex::AbstractMod* korvex_mod_bond_create() { return new korvex_mod_bond::BondMod(); }
static void korvex_mod_bond_destroy(korvex::AbstractMod* mod) { delete mod; }

__attribute__((visibility("default"))) const KorvexModEntry* korvex_mod_entry() {
    static const KorvexModEntry entry{KORVEX_MOD_ABI_VERSION, "bond", &korvex_mod_bond_create,
                                      &korvex_mod_bond_destroy};
    korvex_mod_bond::load();
    return &entry;
}
}
