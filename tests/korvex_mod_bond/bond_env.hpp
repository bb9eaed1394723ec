// A small run environment for the bond mod's trade and position tests: an exchange calendar of
// weekdays (without New Year's Day) in a temporary bundle, bonds and repos served by a test
// instrument store, the mod's shipped configuration, an in-memory market-data client, two
// accounts, and the mod's position models registered.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvex/environment.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/memory_backend.hpp"

namespace bond_test {

using korvex::Date;
using korvex::make_date;

// A bond record; issue_price absent when `issue_price` is nullopt, empty when it holds none.
korvex::InstrumentPtr make_bond(const std::string& id,
                                std::optional<korvex::Value> issue_price = korvex::Value(100.0));
korvex::InstrumentPtr make_repo(const std::string& id, std::optional<std::int64_t> repo_period);

// Inter-bank bonds "190001.IB", "190002.IB"; exchange bonds "019547.SH", "112233.SZ"; a bond
// with an empty issue price "190009.IB"; inter-bank repos "R001.IB", "R007.IB"; exchange repos
// "204001.SH" (1 day), "204007.SH" (7), "204091.SH" (91), "131810.SZ" (1), "204000.SH" (none);
// the stock "000001.XSHE".
std::vector<korvex::InstrumentPtr> default_instruments();

// A cash-flow table of the client.
struct CashFlowRow {
    Date date;
    double cash_flow;
    double principal_payment;
    double payment_receivable = 0;  // implied tables only
};
tavlen::TablePtr realized_table(const std::string& id, const std::vector<CashFlowRow>& rows);
tavlen::TablePtr implied_table(const std::string& id, const std::vector<CashFlowRow>& rows);

korvex::Config bond_config(const std::string& valuation_source = "auto");

// Weekdays from 2019-12-02 to 2021-12-31 without New Year's Day.
std::vector<Date> trading_calendar();
// A data source over `bundle_dir` (its trading_dates.txt) serving `instruments`.
std::shared_ptr<korvex::BaseDataSource> make_data_source(
    const std::filesystem::path& bundle_dir, const std::vector<korvex::InstrumentPtr>& instruments);

class BondEnv {
public:
    explicit BondEnv(korvex::Config config = bond_config(),
                     std::vector<korvex::InstrumentPtr> instruments = default_instruments());
    ~BondEnv();

    korvex::Environment& env() { return *env_; }
    tavlen::MemoryBackend& client() { return *client_; }
    // Sets both the trading and the calendar date-time to 09:30 of the day.
    void at(Date day);
    korvex::Account& bond_account();
    korvex::Account& stock_account();
    std::unique_ptr<korvex_mod_bond::BondPosition> bond_position(const std::string& id,
                                                                 double quantity = 0);

private:
    korvex::testing::TempDir dir_;
    std::shared_ptr<tavlen::MemoryBackend> client_;
    std::shared_ptr<korvex_mod_bond::CashFlowSchedules> schedules_;
    std::unique_ptr<korvex::Environment> env_;
};

// A host trade: buying (or selling) a bond at a price.
korvex::TradePtr bond_trade(const std::string& id, double quantity, double price,
                            korvex::SIDE side = korvex::SIDE::BUY,
                            korvex::POSITION_EFFECT effect = korvex::POSITION_EFFECT::OPEN);

// A repo trade with exactly the given terms, as the factories would leave them.
std::shared_ptr<korvex_mod_bond::RepoTrade> repo_trade(korvex::SIDE side, const std::string& repo,
                                                       double amount, double commission, Date due,
                                                       double due_amount,
                                                       const std::string& bond_id = "",
                                                       double pledged_quantity = 0);

}  // namespace bond_test
