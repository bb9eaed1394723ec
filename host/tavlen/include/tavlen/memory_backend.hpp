// An in-memory backend for tests: data put in by the test, every call recorded with its
// arguments in a fixed text form, and refusals that can be armed per call.
#pragma once

#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavlen/bond.hpp"

namespace tavlen {

class MemoryBackend : public Backend {
public:
    // --- data ---
    void set_bond_list(const std::string& type, std::vector<std::string> ids);
    void add_instrument(korvex::Record record);  // keyed by its order_book_id
    // Overrides what instruments() answers for exactly these ids (to test none / one record).
    void set_instruments_answer(const std::vector<std::string>& ids, InstrumentsResult answer);
    void set_trading_dates(std::vector<korvex::Date> dates);
    void set_quotation(const std::string& id, TablePtr table);
    void set_valuation(const std::string& id, TablePtr table);
    void set_price(const std::string& id, TablePtr table);
    void set_realized_cash_flow(const std::string& id, TablePtr table);
    void set_implied_cash_flow(const std::string& id, TablePtr table);
    void set_yield_curve(const std::string& curve, YieldCurvePtr points);

    // --- refusals: the next calls of `call` (e.g. "instruments") raise `error` ---
    void fail_on(const std::string& call, std::exception_ptr error);
    void clear_failures();

    // --- the recording ---
    // One line per call, e.g. get_bond_list(type="bond"),
    // get_valuation("X.IB", start_date="20050104", end_date="29991231", source="chinabond",
    // valuation_type="recommended"), instruments(["A.IB", "B.SH"]), get_trading_dates(20050104,
    // 29991231), get_price("X.SH", start_date="20050104", end_date="29991231", source="cfets",
    // details=true), get_implied_cash_flow("X.IB", 20050102, 29991231).
    const std::vector<std::string>& calls() const { return calls_; }
    std::size_t count(const std::string& call_name) const;
    void clear_calls() { calls_.clear(); }

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
    void record(const std::string& name, std::string line);
    static TablePtr lookup(const std::map<std::string, TablePtr>& m, const std::string& id);

    std::map<std::string, std::vector<std::string>> bond_lists_;
    std::map<std::string, korvex::Record> records_;
    std::vector<std::pair<std::vector<std::string>, InstrumentsResult>> instrument_answers_;
    std::vector<korvex::Date> trading_dates_;
    std::map<std::string, TablePtr> quotations_, valuations_, prices_, realized_, implied_;
    std::map<std::string, YieldCurvePtr> curves_;
    std::map<std::string, std::exception_ptr> failures_;
    std::vector<std::string> calls_;
};

}  // namespace tavlen
