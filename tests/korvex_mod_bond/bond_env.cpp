#include "bond_env.hpp"

#include "korvex/errors.hpp"
#include "tavlen/bond.hpp"

namespace bond_test {

using korvex::DateTime;
using korvex::Record;
using korvex::Value;

namespace {

Record base_record(const std::string& id) {
    return Record{{"order_book_id", id},
                  {"symbol", id},
                  {"listed_date", korvex::make_datetime(1999, 1, 1)},
                  {"de_listed_date", korvex::make_datetime(2999, 12, 31)}};
}

}  // namespace

std::vector<Date> trading_calendar() {
    std::vector<Date> days =
        korvex::testing::weekdays(make_date(2019, 12, 2), make_date(2021, 12, 31));
    std::erase(days, make_date(2020, 1, 1));
    std::erase(days, make_date(2021, 1, 1));
    return days;
}

std::shared_ptr<korvex::BaseDataSource> make_data_source(
    const std::filesystem::path& bundle_dir,
    const std::vector<korvex::InstrumentPtr>& instruments) {
    auto source =
        std::make_shared<korvex::BaseDataSource>(bundle_dir, std::map<std::string, Value>{});
    std::vector<korvex::InstrumentPtr> bonds, repos, others;
    for (auto& ins : instruments) {
        if (ins->type() == korvex::INSTRUMENT_TYPE::BOND)
            bonds.push_back(ins);
        else if (ins->type() == korvex::INSTRUMENT_TYPE::REPO)
            repos.push_back(ins);
        else
            others.push_back(ins);
    }
    source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
        korvex::INSTRUMENT_TYPE::BOND, bonds));
    source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
        korvex::INSTRUMENT_TYPE::REPO, repos));
    source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
        korvex::INSTRUMENT_TYPE::CS, others));
    return source;
}

korvex::InstrumentPtr make_bond(const std::string& id, std::optional<Value> issue_price) {
    Record r = base_record(id);
    r.set("exchange", id.ends_with(".IB") ? "NIB" : (id.ends_with(".SH") ? "XSHG" : "XSHE"));
    r.set("initial_issue_size", 1e9);
    if (issue_price) r.set("issue_price", *issue_price);
    return std::make_shared<korvex_mod_bond::BondInstrument>(std::move(r));
}

korvex::InstrumentPtr make_repo(const std::string& id, std::optional<std::int64_t> repo_period) {
    Record r = base_record(id);
    const bool inter_bank = id.ends_with(".IB");
    r.set("exchange", inter_bank ? "NIB" : (id.ends_with(".SH") ? "XSHG" : "XSHE"));
    r.set("account_type", inter_bank ? "BOND" : "STOCK");
    r.set("repo_period", repo_period ? Value(*repo_period) : Value());
    return std::make_shared<korvex_mod_bond::RepoInstrument>(std::move(r));
}

std::vector<korvex::InstrumentPtr> default_instruments() {
    return {make_bond("190001.IB"),
            make_bond("190002.IB"),
            make_bond("019547.SH"),
            make_bond("112233.SZ"),
            make_bond("190009.IB", Value()),
            make_repo("R001.IB", 1),
            make_repo("R007.IB", 7),
            make_repo("204001.SH", 1),
            make_repo("204007.SH", 7),
            make_repo("204091.SH", 91),
            make_repo("131810.SZ", 1),
            make_repo("204000.SH", std::nullopt),
            korvex::testing::make_instrument("000001.XSHE")};
}

tavlen::TablePtr realized_table(const std::string& id, const std::vector<CashFlowRow>& rows) {
    auto t = std::make_shared<tavlen::Table>(
        std::vector<std::string>{"cash_flow", "principal_payment"}, "payment_date");
    for (const auto& r : rows) t->append(id, r.date, {r.cash_flow, r.principal_payment});
    return t;
}

tavlen::TablePtr implied_table(const std::string& id, const std::vector<CashFlowRow>& rows) {
    auto t = std::make_shared<tavlen::Table>(
        std::vector<std::string>{"total_payment", "payment_receivable", "principal_payment"},
        "date");
    for (const auto& r : rows)
        t->append(id, r.date, {r.cash_flow, r.payment_receivable, r.principal_payment});
    return t;
}

korvex::Config bond_config(const std::string& valuation_source) {
    korvex::Config config;
    config.merge_defaults_under("mod.bond",
                                KORVEX_SOURCE_DIR "/korvex_mod_bond/config/korvex_mod_bond.toml");
    config.set("mod.bond.valuation_source", Value(valuation_source));
    return config;
}

BondEnv::BondEnv(korvex::Config config, std::vector<korvex::InstrumentPtr> instruments)
    : client_(std::make_shared<tavlen::MemoryBackend>()) {
    korvex::testing::write_trading_dates(dir_.path(), trading_calendar());
    tavlen::set_backend(client_);
    env_ = std::make_unique<korvex::Environment>(std::move(config));
    env_->set_data_source(make_data_source(dir_.path(), instruments));
    env_->portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK, 1e6);
    env_->portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::BOND, 1e7);
    korvex_mod_bond::position::load(*env_);
    schedules_ = std::make_shared<korvex_mod_bond::CashFlowSchedules>();
    at(make_date(2020, 1, 3));
}

BondEnv::~BondEnv() {
    env_.reset();
    tavlen::set_backend(nullptr);
}

void BondEnv::at(Date day) {
    env_->trading_dt = env_->calendar_dt =
        DateTime(day) + std::chrono::hours(9) + std::chrono::minutes(30);
}

korvex::Account& BondEnv::bond_account() {
    return env_->portfolio().account(korvex::DEFAULT_ACCOUNT_TYPE::BOND);
}

korvex::Account& BondEnv::stock_account() {
    return env_->portfolio().account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK);
}

std::unique_ptr<korvex_mod_bond::BondPosition> BondEnv::bond_position(const std::string& id,
                                                                      double quantity) {
    return korvex_mod_bond::BondPosition::create(id, korvex::POSITION_DIRECTION::LONG, quantity,
                                                 schedules_);
}

korvex::TradePtr bond_trade(const std::string& id, double quantity, double price, korvex::SIDE side,
                            korvex::POSITION_EFFECT effect) {
    return korvex::Trade::from_create(std::nullopt, price, quantity, side, effect, id);
}

std::shared_ptr<korvex_mod_bond::RepoTrade> repo_trade(korvex::SIDE side, const std::string& repo,
                                                       double amount, double commission, Date due,
                                                       double due_amount,
                                                       const std::string& bond_id,
                                                       double pledged_quantity) {
    return korvex::Trade::from_create<korvex_mod_bond::RepoTrade>(
        std::nullopt, 0.02, amount, side, korvex::POSITION_EFFECT::OPEN, repo,
        Record{{"commission", commission},
               {"repo_period", 1},
               {"haircut", 1.0},
               {"coupon_value", 100.0},
               {"bond_id", bond_id},
               {"actual_holding_days", 1},
               {"due_settlement_amount", due_amount},
               {"due_settlement_date", DateTime(due)},
               {"pledged_quantity", pledged_quantity}});
}

}  // namespace bond_test
