#include "tavlen/bond.hpp"

#include <cstdlib>
#include <utility>

#include "tavlen/sqlite_backend.hpp"

namespace tavlen {

namespace {

// The client's one piece of process state: which backend answers.
std::shared_ptr<Backend>& installed() {
    static std::shared_ptr<Backend> instance;
    return instance;
}

thread_local std::shared_ptr<Backend> scoped;

Backend& require() {
    if (scoped) return *scoped;
    auto& b = installed();
    if (!b) throw DataError("tavlen is not initialised");
    return *b;
}

}  // namespace

void set_backend(std::shared_ptr<Backend> backend) {
    installed() = std::move(backend);
}

std::shared_ptr<Backend> backend() {
    return installed();
}

ScopedBackend::ScopedBackend(std::shared_ptr<Backend> backend)
    : previous_(std::exchange(scoped, std::move(backend))) {}

ScopedBackend::~ScopedBackend() {
    scoped = std::move(previous_);
}

std::string init(const std::string& configured_path) {
    std::string path = configured_path;
    if (const char* env = std::getenv(DATABASE_ENV); env != nullptr && *env != '\0') path = env;
    set_backend(std::make_shared<SqliteBackend>(path));
    return path;
}

namespace bond {

std::vector<std::string> get_bond_list(const GetBondListOptions& options) {
    return require().get_bond_list(options);
}

InstrumentsResult instruments(const std::vector<std::string>& order_book_ids) {
    return require().instruments(order_book_ids);
}

std::vector<korvex::Date> get_trading_dates(std::int32_t start_date, std::int32_t end_date) {
    return require().get_trading_dates(start_date, end_date);
}

TablePtr currency_market_quotation(const std::string& order_book_id,
                                   const DateRangeOptions& options) {
    return require().currency_market_quotation(order_book_id, options);
}

TablePtr get_valuation(const std::string& order_book_id, const GetValuationOptions& options) {
    return require().get_valuation(order_book_id, options);
}

TablePtr get_price(const std::string& order_book_id, const GetPriceOptions& options) {
    return require().get_price(order_book_id, options);
}

TablePtr realized_cash_flow(const std::string& order_book_id) {
    return require().realized_cash_flow(order_book_id);
}

TablePtr get_implied_cash_flow(const std::string& order_book_id, std::int32_t start_date,
                               std::int32_t end_date) {
    return require().get_implied_cash_flow(order_book_id, start_date, end_date);
}

std::vector<std::string> get_yield_curve_list() {
    return require().get_yield_curve_list();
}

YieldCurvePtr get_yield_curve(const std::string& curve, const DateRangeOptions& options) {
    return require().get_yield_curve(curve, options);
}

}  // namespace bond
}  // namespace tavlen
