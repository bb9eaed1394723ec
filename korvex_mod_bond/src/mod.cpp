#include "korvex_mod_bond/mod.hpp"

#include "korvex_mod_bond/limits.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <optional>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/api.hpp"
#include "korvex_mod_bond/benchmark.hpp"
#include "korvex_mod_bond/book_history.hpp"
#include "korvex_mod_bond/data.hpp"
#include "korvex_mod_bond/dummy.hpp"
#include "korvex_mod_bond/limits.hpp"
#include "korvex_mod_bond/matcher.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/quaylet.hpp"
#include "korvex_mod_bond/results.hpp"
#include "korvex_mod_bond/transaction.hpp"
#include "korvex_mod_bond/validator.hpp"
#include "tavlen/errors.hpp"

namespace korvex_mod_bond {

using korvex::DEFAULT_ACCOUNT_TYPE;

namespace {

// H5MinBarStore's factory in korvex_mod_lumeq_data, found by name so this mod does not link
// that library: a run without it simply has no bond minute bars.
using MakeH5MinBarStore =
    korvex::AbstractMinBarStore* (*)(const char*,
                                     const std::map<std::string, korvex::RecordLayout>*);
constexpr const char* MAKE_H5_MINBAR_STORE = "korvex_lumeq_make_h5_minbar_store";

}  // namespace

const korvex::RecordLayout& bond_minbar_layout() {
    static const korvex::RecordLayout layout{
        {"datetime", "<i8"}, {"open", "<f8"},   {"high", "<f8"},          {"low", "<f8"},
        {"close", "<f8"},    {"volume", "<f8"}, {"total_turnover", "<f8"}};
    return layout;
}

BondMod::BondMod() {
    _dtypes_map.emplace("Bond", bond_minbar_layout());
}

void BondMod::start_up(korvex::Environment& env, const korvex::ConfigNode& mod_config) {
    _env = &env;
    if (!_supports_run_type()) return;
    if (!_has_stock_or_bond_account()) return;
    _build_data_stores(mod_config);
    _check_matching_type(mod_config);
    // The analytics read the same cash-flow schedules as the positions.
    const std::shared_ptr<CashFlowSchedules> schedules = _load_position_module();
    env.set_extension(
        std::string(BondAnalyticsBook::EXTENSION_KEY),
        std::make_shared<BondAnalyticsBook>(schedules, mod_config["analytics_curve"].as_string()));
    _register_data_stores();
    _register_cost_deciders(mod_config);
    _register_validators();
    limits::load(env, FundLimits::from_config(mod_config));
    _register_broker_and_matchers(mod_config);
    results::load(env);
    if (mod_config["book_history"].as_bool()) BookHistory::load(env);
    load_benchmark(env, mod_config["benchmark"].as_string(), schedules);
}

void BondMod::_check_matching_type(const korvex::ConfigNode& mod_config) const {
    if (mod_config["bond_matching_type"].as_string() == "counterparty_offer" &&
        _env->config().at("base.frequency").as_string() != "tick")
        throw korvex::RuntimeError("债券撮合类型：counterparty_offer 只可进行tick级别回测！ ");
}

std::shared_ptr<CashFlowSchedules> BondMod::_load_position_module() {
    return position::load(*_env);
}

void BondMod::_register_cost_deciders(const korvex::ConfigNode& mod_config) {
    // A negative rate or amount would pay the strategy for trading.
    auto non_negative = [](const korvex::ConfigNode& node) {
        if (const double v = node.as_double(); !(v >= 0))
            throw korvex::ValueError(fmt::format("{} must be >= 0, got {}", node.path(), v));
    };
    for (const char* key :
         {"ib_bond_commission_rate", "ib_bond_min_commission", "exchange_bond_commission_rate",
          "exchange_bond_max_commission", "ib_repo_commission_rate"})
        non_negative(mod_config[key]);
    const korvex::ConfigNode by_term = mod_config["exchange_repo_commission_rate"];
    for (const auto& term : by_term.keys()) non_negative(by_term[term]);
    auto decider = std::make_shared<BondTransactionDecider>(
        mod_config["ib_bond_commission_rate"].as_double(),
        mod_config["ib_bond_min_commission"].as_double(),
        mod_config["exchange_bond_commission_rate"].as_double(),
        mod_config["exchange_bond_max_commission"].as_double());
    _env->set_transaction_cost_decider(korvex::INSTRUMENT_TYPE::BOND, decider);
    _env->set_transaction_cost_decider(korvex::INSTRUMENT_TYPE::REPO,
                                       std::make_shared<RepoTransactionDecider>());
}

void BondMod::_register_validators() {
    _env->add_frontend_validator(std::make_shared<BondValidator>(*_env),
                                 korvex::INSTRUMENT_TYPE::BOND);
    _env->add_frontend_validator(std::make_shared<RepoValidator>(*_env),
                                 korvex::INSTRUMENT_TYPE::REPO);
}

void BondMod::_register_broker_and_matchers(const korvex::ConfigNode& mod_config) {
    const korvex::ConfigNode simulation = _env->config().at("mod.sys_simulation");
    std::shared_ptr<korvex::AbstractBroker> broker = _env->broker_ptr();
    if (!broker) broker = std::make_shared<korvex::SimulationBroker>(*_env, simulation);
    std::shared_ptr<korvex::AbstractMatcher> bond_matcher;
    if (mod_config["bond_matching_type"].as_string() == "counterparty_offer")
        bond_matcher = std::make_shared<CounterPartyOfferMatcher>(*_env, simulation);
    else
        bond_matcher = std::make_shared<BondMatcher>(*_env, simulation);
    if (simulation["signal"].as_bool())
        _env->set_broker(broker);
    else
        _env->set_broker(std::make_shared<BondBroker>(*_env, simulation));
    // Matchers only on a broker of ours: another broker matches in its own way.
    if (auto* bond_broker = dynamic_cast<BondBroker*>(_env->broker())) {
        bond_broker->register_matcher(korvex::INSTRUMENT_TYPE::BOND, bond_matcher);
        bond_broker->register_matcher(korvex::INSTRUMENT_TYPE::REPO,
                                      std::make_shared<RepoMatcher>(*_env, simulation));
    }
}

void BondMod::tear_down(int, std::exception_ptr) {}

bool BondMod::_supports_run_type() const {
    // Compared as text: a run type the host does not know is not a backtest either.
    const korvex::ConfigNode base = _env->config()["base"];
    if (base["run_type"].as_string() == korvex::name(korvex::RUN_TYPE::BACKTEST)) return true;
    korvex::system_log().info("korvex-mod-bond only support backtest, disabled");
    return false;
}

bool BondMod::_has_stock_or_bond_account() const {
    const korvex::ConfigNode accounts = _env->config()["base"]["accounts"];
    if (accounts.contains(korvex::name(DEFAULT_ACCOUNT_TYPE::STOCK)) ||
        accounts.contains(korvex::name(DEFAULT_ACCOUNT_TYPE::BOND)))
        return true;
    korvex::system_log().debug("bond or stock account has not been set, korvex-mod-bond disabled");
    return false;
}

// The instrument stores already ask the client for their lists here; a refusal of the client
// anywhere in this step leaves the placeholders in all five fields and start-up goes on.
void BondMod::_build_data_stores(const korvex::ConfigNode& mod_config) {
    try {
        api::load();
        const std::string valuation_source = mod_config["valuation_source"].as_string();
        if (valuation_source == "chinabond")
            _bond_day_bar_store = std::make_shared<ChinabondBondDayBarStore>();
        else if (valuation_source == "exchange")
            _bond_day_bar_store = std::make_shared<ExchangeBondDayBarStore>();
        else if (valuation_source == "auto")
            _bond_day_bar_store = std::make_shared<AutoBondDayBarStore>();
        else
            throw korvex::ValueError(
                fmt::format("invalid valuation_source '{}'", valuation_source));
        _repo_day_bar_store = std::make_shared<RepoDayBarStore>();
        _bond_instrument_store = std::make_shared<BondInstrumentStore>();
        _inter_bank_calendar_store = std::make_shared<InterBankCalendarStore>();
        _repo_instrument_store = std::make_shared<RepoInstrumentStore>();
    } catch (const tavlen::PermissionDenied&) {
        _register_dummy_data_stores(std::current_exception());
    }
}

void BondMod::_register_dummy_data_stores(std::exception_ptr error) {
    dummy::PERMISSION_ERROR = std::move(error);
    _bond_day_bar_store = std::make_shared<dummy::DummyDayBarStore>();
    _repo_day_bar_store = std::make_shared<dummy::DummyDayBarStore>();
    _bond_instrument_store = std::make_shared<dummy::DummyInstrumentStore>();
    _repo_instrument_store = std::make_shared<dummy::DummyInstrumentStore>();
    _inter_bank_calendar_store = std::make_shared<dummy::DummyInterBankCalendarStore>();
}

void BondMod::_register_data_stores() {
    const korvex::ConfigNode base = _env->config()["base"];
    std::shared_ptr<korvex::BaseDataSource> data_source = _env->data_source();
    if (!data_source) {
        data_source = std::make_shared<korvex::BaseDataSource>(
            base["data_bundle_path"].as_string(), korvex::future_info_of(_env->config()));
    }
    if (!can_register_stores(*data_source))
        throw korvex::RuntimeError(fmt::format(
            "korvex-mod-bond only supports data sources like BaseDataSource, current data "
            "source is {}",
            korvex::type_name(*data_source)));

    data_source->register_day_bar_store(korvex::INSTRUMENT_TYPE::BOND, _bond_day_bar_store);
    data_source->register_day_bar_store(korvex::INSTRUMENT_TYPE::REPO, _repo_day_bar_store);
    data_source->register_instruments_store(_bond_instrument_store);
    data_source->register_instruments_store(_repo_instrument_store);
    // Only a bond account trades inter-bank; an account configured with 0 does not count.
    const korvex::ConfigNode accounts = base["accounts"];
    const std::string bond = std::string(korvex::name(DEFAULT_ACCOUNT_TYPE::BOND));
    if (accounts.contains(bond) && accounts[bond].truthy())
        data_source->register_calendar_store(korvex::TRADING_CALENDAR_TYPE::INTER_BANK,
                                             _inter_bank_calendar_store);
    _env->set_data_source(data_source);
    if (base["frequency"].as_string() == "1m") _register_minbar_store(*data_source);
}

void BondMod::_register_minbar_store(korvex::BaseDataSource& data_source) {
    if (!can_register_minbar_store(data_source)) {
        korvex::system_log().info("Bond minbar store disabled, current data source {}",
                                  data_source.to_string());
        return;
    }
    MakeH5MinBarStore make = nullptr;
    try {
        make = reinterpret_cast<MakeH5MinBarStore>(
            korvex::load_module(_minbar_module, korvex::configured_mod_path(_env->config()))
                ->symbol(MAKE_H5_MINBAR_STORE));
    } catch (const korvex::ImportError&) {
        // Missing, or present without the factory (below): either way there is no store.
    }
    if (!make) {
        korvex::system_log().warning(
            "contertible minbar store disabled, korvex_mod_lumeq_data needed");
        return;
    }
    std::optional<korvex::Value> directory;
    if (auto node = _env->config().find("mod.lumeq_data.h5_minbar_path"))
        directory = node->as_value();
    std::string path = directory && directory->truthy() ? directory->as_string() : std::string();
    if (path.empty())
        path =
            (std::filesystem::path(_env->config().at("base.data_bundle_path").as_string()) / "h5")
                .string();
    data_source.register_minbar_store(
        korvex::INSTRUMENT_TYPE::BOND,
        std::shared_ptr<korvex::AbstractMinBarStore>(make(path.c_str(), &_dtypes_map)));
}

bool can_register_stores(const korvex::BaseDataSource& data_source) {
    return dynamic_cast<const WithoutStoreRegistration*>(&data_source) == nullptr;
}

bool can_register_minbar_store(const korvex::BaseDataSource& data_source) {
    return dynamic_cast<const WithoutMinbarStoreRegistration*>(&data_source) == nullptr;
}

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
    korvex::Portfolio::install_property(
        "bond_account", [](const korvex::Portfolio& p) { return std::any(mod_bond_account(p)); });
}

namespace {
// As soon as the package's code is loaded, whether from its library or linked into a program.
[[maybe_unused]] const bool loaded = (load(), true);
}  // namespace

}  // namespace korvex_mod_bond

extern "C" {

static korvex::AbstractMod* korvex_mod_bond_create() {
    return new korvex_mod_bond::BondMod();
}
static void korvex_mod_bond_destroy(korvex::AbstractMod* mod) {
    delete mod;
}

__attribute__((visibility("default"))) const KorvexModEntry* korvex_mod_entry() {
    static const KorvexModEntry entry{KORVEX_MOD_ABI_VERSION, "bond", &korvex_mod_bond_create,
                                      &korvex_mod_bond_destroy};
    korvex_mod_bond::load();
    return &entry;
}
}
