// The client's bond namespace: instrument lists and records, prices, valuations, repo
// quotations, cash-flow tables and the inter-bank calendar. Every call goes to the installed
// backend (SQLite by default, in memory for tests). Named arguments are option structs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "korvex/value.hpp"
#include "tavlen/errors.hpp"
#include "tavlen/table.hpp"

namespace tavlen {

// none, one record, or a collection of records.
using InstrumentsResult = std::variant<std::monostate, korvex::Record, std::vector<korvex::Record>>;

namespace bond {

struct GetBondListOptions {
    std::string type;  // "bond" or "repo"
};
struct DateRangeOptions {
    std::string start_date;  // "YYYYMMDD"
    std::string end_date;
};
struct GetValuationOptions {
    std::string start_date;
    std::string end_date;
    std::string source;          // "chinabond"
    std::string valuation_type;  // "recommended"
};
struct GetPriceOptions {
    std::string start_date;
    std::string end_date;
    std::string source;  // "cfets"
    bool details = false;
};

std::vector<std::string> get_bond_list(const GetBondListOptions& options);
InstrumentsResult instruments(const std::vector<std::string>& order_book_ids);
std::vector<korvex::Date> get_trading_dates(std::int32_t start_date, std::int32_t end_date);
TablePtr currency_market_quotation(const std::string& order_book_id,
                                   const DateRangeOptions& options);
TablePtr get_valuation(const std::string& order_book_id, const GetValuationOptions& options);
TablePtr get_price(const std::string& order_book_id, const GetPriceOptions& options);
TablePtr realized_cash_flow(const std::string& order_book_id);
TablePtr get_implied_cash_flow(const std::string& order_book_id, std::int32_t start_date,
                               std::int32_t end_date);

}  // namespace bond

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::vector<std::string> get_bond_list(const bond::GetBondListOptions& options) = 0;
    virtual InstrumentsResult instruments(const std::vector<std::string>& order_book_ids) = 0;
    virtual std::vector<korvex::Date> get_trading_dates(std::int32_t start_date,
                                                        std::int32_t end_date) = 0;
    virtual TablePtr currency_market_quotation(const std::string& order_book_id,
                                               const bond::DateRangeOptions& options) = 0;
    virtual TablePtr get_valuation(const std::string& order_book_id,
                                   const bond::GetValuationOptions& options) = 0;
    virtual TablePtr get_price(const std::string& order_book_id,
                               const bond::GetPriceOptions& options) = 0;
    virtual TablePtr realized_cash_flow(const std::string& order_book_id) = 0;
    virtual TablePtr get_implied_cash_flow(const std::string& order_book_id,
                                           std::int32_t start_date, std::int32_t end_date) = 0;
};

// The installed backend. Calls without one raise DataError "tavlen is not initialised".
void set_backend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> backend();

// Environment variable that overrides the configured database path.
inline constexpr const char* DATABASE_ENV = "TAVLEN_DATABASE";
// Installs the SQLite backend on `configured_path`, or on $TAVLEN_DATABASE when set.
// Returns the path used. The file is opened on the first call, not here.
std::string init(const std::string& configured_path);

}  // namespace tavlen
