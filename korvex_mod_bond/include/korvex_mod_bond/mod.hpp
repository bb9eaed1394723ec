// The bond mod: the plug-in object the host creates, its start-up (which builds and registers
// the bond and repo stores, position models, validators, cost deciders, broker and matchers),
// and the bond_account properties it installs on the strategy context and the portfolio.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <string>

#include "korvex/data/base_data_source.hpp"
#include "korvex/environment.hpp"
#include "korvex/interface.hpp"
#include "korvex/strategy.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"

namespace korvex_mod_bond {

// Layout of bond minute bars, as the host's minute-bar store reads them.
const korvex::RecordLayout& bond_minbar_layout();

// Every korvex::BaseDataSource offers the store registrations the mod uses. A data source that
// serves only what it was built with (a replay of recorded answers, a remote feed) says it has
// no such operation by deriving from one of these markers as well; the mod then treats the
// operation as missing.
class WithoutStoreRegistration {
public:
    virtual ~WithoutStoreRegistration() = default;
};
class WithoutMinbarStoreRegistration {
public:
    virtual ~WithoutMinbarStoreRegistration() = default;
};
bool can_register_stores(const korvex::BaseDataSource& data_source);
bool can_register_minbar_store(const korvex::BaseDataSource& data_source);

class BondMod : public korvex::AbstractMod {
public:
    BondMod();

    void start_up(korvex::Environment& env, const korvex::ConfigNode& mod_config) override;
    void tear_down(int code, std::exception_ptr exception = nullptr) override;

    // Puts the dummy module's placeholders, which keep `error`, into all five store fields.
    void _register_dummy_data_stores(std::exception_ptr error);
    // Registers H5MinBarStore of korvex_mod_lumeq_data for bonds when it can.
    void _register_minbar_store(korvex::BaseDataSource& data_source);

    korvex::Environment* _env = nullptr;
    std::shared_ptr<korvex::AbstractDayBarStore> _bond_day_bar_store;
    std::shared_ptr<korvex::AbstractDayBarStore> _repo_day_bar_store;
    std::shared_ptr<korvex::AbstractInstrumentStore> _bond_instrument_store;
    std::shared_ptr<korvex::AbstractInstrumentStore> _repo_instrument_store;
    std::shared_ptr<korvex::AbstractCalendarStore> _inter_bank_calendar_store;
    std::map<std::string, korvex::RecordLayout> _dtypes_map;
    // The library that provides H5MinBarStore; another name only in tests of its absence.
    std::string _minbar_module = "korvex_mod_lumeq_data";

private:
    // The start-up steps, in the order start_up runs them.
    bool _supports_run_type() const;
    bool _has_stock_or_bond_account() const;
    void _build_data_stores(const korvex::ConfigNode& mod_config);
    void _check_matching_type(const korvex::ConfigNode& mod_config) const;
    std::shared_ptr<CashFlowSchedules> _load_position_module();
    void _register_data_stores();
    void _register_cost_deciders(const korvex::ConfigNode& mod_config);
    void _register_validators();
    void _register_broker_and_matchers(const korvex::ConfigNode& mod_config);
};

// The bond account of the context's portfolio; KeyError when none is configured.
korvex::Account& context_bond_account(const korvex::StrategyContext& context);
// The portfolio's bond account, or null when none is configured.
korvex::Account* mod_bond_account(const korvex::Portfolio& portfolio);

// What loading the mod's library does: installs the two bond_account properties. Idempotent.
void load();

}  // namespace korvex_mod_bond
