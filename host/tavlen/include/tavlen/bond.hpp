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

// One yield curve's points, ascending by date and, within a date, by tenor.
struct YieldCurve {
    std::vector<korvex::Date> dates;  // one entry per point
    std::vector<double> tenors;       // years; 0 is overnight
    std::vector<double> yields;       // percent
    std::size_t size() const { return dates.size(); }
    void append(korvex::Date date, double tenor, double yield_pct) {
        dates.push_back(date);
        tenors.push_back(tenor);
        yields.push_back(yield_pct);
    }
};
// Null: the curve has no point at all.
using YieldCurvePtr = std::shared_ptr<const YieldCurve>;

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
// The names of the curves the database holds, ascending.
std::vector<std::string> get_yield_curve_list();
// The curve's points dated within the range; none for a curve without points, an empty curve
// when none falls in the range. Databases written before curves existed hold none.
YieldCurvePtr get_yield_curve(const std::string& curve, const DateRangeOptions& options);

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
    virtual std::vector<std::string> get_yield_curve_list() = 0;
    virtual YieldCurvePtr get_yield_curve(const std::string& curve,
                                          const bond::DateRangeOptions& options) = 0;
};

// The installed backend. Calls without one raise DataError "tavlen is not initialised".
void set_backend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> backend();

// While alive, this thread's calls go to `backend` rather than the installed one: a reader of
// another database (research outside a run) cannot disturb a run in progress.
class ScopedBackend {
public:
    explicit ScopedBackend(std::shared_ptr<Backend> backend);
    ~ScopedBackend();
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    std::shared_ptr<Backend> previous_;
};

// Environment variable that overrides the configured database path.
inline constexpr const char* DATABASE_ENV = "TAVLEN_DATABASE";
// Installs the SQLite backend on `configured_path`, or on $TAVLEN_DATABASE when set.
// Returns the path used. The file is opened on the first call, not here.
std::string init(const std::string& configured_path);

}  // namespace tavlen
