// The embedded default backend: one SQLite database file, opened read-only on first use.
// The schema is documented in docs/data-schema.md.
#pragma once

#include <filesystem>
#include <memory>

#include "tavlen/bond.hpp"

namespace tavlen {

class SqliteBackend : public Backend {
public:
    explicit SqliteBackend(std::filesystem::path path);
    ~SqliteBackend() override;

    const std::filesystem::path& path() const { return path_; }

    std::vector<std::string> get_bond_list(const bond::GetBondListOptions& options) override;
    InstrumentsResult instruments(const std::vector<std::string>& order_book_ids) override;
    std::vector<korvex::Date> get_trading_dates(std::int32_t start_date,
                                                std::int32_t end_date) override;
    TablePtr currency_market_quotation(const std::string& order_book_id,
                                       const bond::DateRangeOptions& options) override;
    TablePtr get_valuation(const std::string& order_book_id,
                           const bond::GetValuationOptions& options) override;
    TablePtr get_price(const std::string& order_book_id,
                       const bond::GetPriceOptions& options) override;
    TablePtr realized_cash_flow(const std::string& order_book_id) override;
    TablePtr get_implied_cash_flow(const std::string& order_book_id, std::int32_t start_date,
                                   std::int32_t end_date) override;
    std::vector<std::string> get_yield_curve_list() override;
    YieldCurvePtr get_yield_curve(const std::string& curve,
                                  const bond::DateRangeOptions& options) override;

private:
    struct Impl;
    Impl& db();  // opens on first use: PermissionDenied / DataError naming the path
    std::filesystem::path path_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavlen
