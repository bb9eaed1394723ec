#include "tavlen/memory_backend.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "date_argument.hpp"

namespace tavlen {

namespace {

constexpr std::array<std::string_view, 10> CALLS{
    "get_bond_list",        "instruments",    "get_trading_dates",  "currency_market_quotation",
    "get_valuation",        "get_price",      "realized_cash_flow", "get_implied_cash_flow",
    "get_yield_curve_list", "get_yield_curve"};

std::string quoted(std::string_view s) {
    return fmt::format("\"{}\"", s);
}

// The rows of `table` dated within [start, end]; the table itself when nothing falls outside,
// so a test that installs a table gets that very table back.
TablePtr within(const TablePtr& table, std::int32_t start, std::int32_t end) {
    if (!table) return nullptr;
    const auto lo = korvex::date_from_int(start);
    const auto hi = korvex::date_from_int(end);
    const auto& dates = table->dates();
    if (std::all_of(dates.begin(), dates.end(), [&](auto d) { return lo <= d && d <= hi; }))
        return table;
    auto out = std::make_shared<Table>(table->column_names(), table->index_names()[1]);
    std::vector<const std::vector<double>*> columns;
    for (const auto& name : table->column_names()) columns.push_back(&table->column(name));
    std::vector<double> values(columns.size());
    for (std::size_t r = 0; r < dates.size(); ++r) {
        if (dates[r] < lo || hi < dates[r]) continue;
        for (std::size_t c = 0; c < columns.size(); ++c) values[c] = (*columns[c])[r];
        out->append(table->order_book_ids()[r], dates[r], values);
    }
    return out;
}

}  // namespace

void MemoryBackend::set_bond_list(const std::string& type, std::vector<std::string> ids) {
    bond_lists_[type] = std::move(ids);
}

void MemoryBackend::add_instrument(korvex::Record record) {
    std::string id = record.get("order_book_id").as_string();
    records_.insert_or_assign(std::move(id), std::move(record));
}

void MemoryBackend::set_instruments_answer(const std::vector<std::string>& ids,
                                           InstrumentsResult answer) {
    for (auto& [asked, result] : instrument_answers_) {
        if (asked == ids) {
            result = std::move(answer);
            return;
        }
    }
    instrument_answers_.emplace_back(ids, std::move(answer));
}

void MemoryBackend::set_trading_dates(std::vector<korvex::Date> dates) {
    std::sort(dates.begin(), dates.end());
    trading_dates_ = std::move(dates);
}

void MemoryBackend::set_quotation(const std::string& id, TablePtr table) {
    quotations_[id] = std::move(table);
}
void MemoryBackend::set_valuation(const std::string& id, TablePtr table) {
    valuations_[id] = std::move(table);
}
void MemoryBackend::set_price(const std::string& id, TablePtr table) {
    prices_[id] = std::move(table);
}
void MemoryBackend::set_realized_cash_flow(const std::string& id, TablePtr table) {
    realized_[id] = std::move(table);
}
void MemoryBackend::set_implied_cash_flow(const std::string& id, TablePtr table) {
    implied_[id] = std::move(table);
}

void MemoryBackend::set_yield_curve(const std::string& curve, YieldCurvePtr points) {
    curves_[curve] = std::move(points);
}

void MemoryBackend::fail_on(const std::string& call, std::exception_ptr error) {
    // A misspelt call name would arm nothing and let the test pass for the wrong reason.
    if (std::find(CALLS.begin(), CALLS.end(), call) == CALLS.end())
        throw korvex::ValueError(
            fmt::format("fail_on: unknown call '{}' (calls: {})", call, fmt::join(CALLS, ", ")));
    if (!error) throw korvex::ValueError(fmt::format("fail_on: no error given for '{}'", call));
    failures_[call] = std::move(error);
}

void MemoryBackend::clear_failures() {
    failures_.clear();
}

std::size_t MemoryBackend::count(const std::string& call_name) const {
    return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& l) {
        return l.size() > call_name.size() && l.compare(0, call_name.size(), call_name) == 0 &&
               l[call_name.size()] == '(';
    }));
}

// Recorded before the armed refusal fires: a refused call was still made.
void MemoryBackend::record(const std::string& name, std::string line) {
    calls_.push_back(std::move(line));
    if (auto it = failures_.find(name); it != failures_.end()) std::rethrow_exception(it->second);
}

TablePtr MemoryBackend::lookup(const std::map<std::string, TablePtr>& m, const std::string& id) {
    auto it = m.find(id);
    return it == m.end() ? nullptr : it->second;
}

std::vector<std::string> MemoryBackend::get_bond_list(const bond::GetBondListOptions& options) {
    record("get_bond_list", fmt::format("get_bond_list(type={})", quoted(options.type)));
    auto it = bond_lists_.find(options.type);
    return it == bond_lists_.end() ? std::vector<std::string>{} : it->second;
}

InstrumentsResult MemoryBackend::instruments(const std::vector<std::string>& order_book_ids) {
    std::vector<std::string> q;
    q.reserve(order_book_ids.size());
    for (const auto& id : order_book_ids) q.push_back(quoted(id));
    record("instruments", fmt::format("instruments([{}])", fmt::join(q, ", ")));

    for (const auto& [asked, answer] : instrument_answers_)
        if (asked == order_book_ids) return answer;
    std::vector<korvex::Record> found;
    for (const auto& id : order_book_ids)
        if (auto it = records_.find(id); it != records_.end()) found.push_back(it->second);
    if (found.empty()) return std::monostate{};
    if (order_book_ids.size() == 1) return std::move(found.front());
    return found;
}

std::vector<korvex::Date> MemoryBackend::get_trading_dates(std::int32_t start_date,
                                                           std::int32_t end_date) {
    record("get_trading_dates", fmt::format("get_trading_dates({}, {})", start_date, end_date));
    const auto lo = korvex::date_from_int(start_date);
    const auto hi = korvex::date_from_int(end_date);
    auto first = std::lower_bound(trading_dates_.begin(), trading_dates_.end(), lo);
    auto last = std::upper_bound(first, trading_dates_.end(), hi);
    return {first, last};
}

TablePtr MemoryBackend::currency_market_quotation(const std::string& order_book_id,
                                                  const bond::DateRangeOptions& options) {
    record(
        "currency_market_quotation",
        fmt::format("currency_market_quotation({}, start_date={}, end_date={})",
                    quoted(order_book_id), quoted(options.start_date), quoted(options.end_date)));
    return within(lookup(quotations_, order_book_id),
                  detail::date_argument("start_date", options.start_date),
                  detail::date_argument("end_date", options.end_date));
}

// The in-memory tables are installed per id only; source and valuation type are recorded but
// select nothing.
TablePtr MemoryBackend::get_valuation(const std::string& order_book_id,
                                      const bond::GetValuationOptions& options) {
    record("get_valuation",
           fmt::format("get_valuation({}, start_date={}, end_date={}, source={}, "
                       "valuation_type={})",
                       quoted(order_book_id), quoted(options.start_date), quoted(options.end_date),
                       quoted(options.source), quoted(options.valuation_type)));
    return within(lookup(valuations_, order_book_id),
                  detail::date_argument("start_date", options.start_date),
                  detail::date_argument("end_date", options.end_date));
}

TablePtr MemoryBackend::get_price(const std::string& order_book_id,
                                  const bond::GetPriceOptions& options) {
    record("get_price",
           fmt::format("get_price({}, start_date={}, end_date={}, source={}, details={})",
                       quoted(order_book_id), quoted(options.start_date), quoted(options.end_date),
                       quoted(options.source), options.details));
    return within(lookup(prices_, order_book_id),
                  detail::date_argument("start_date", options.start_date),
                  detail::date_argument("end_date", options.end_date));
}

TablePtr MemoryBackend::realized_cash_flow(const std::string& order_book_id) {
    record("realized_cash_flow", fmt::format("realized_cash_flow({})", quoted(order_book_id)));
    return lookup(realized_, order_book_id);
}

TablePtr MemoryBackend::get_implied_cash_flow(const std::string& order_book_id,
                                              std::int32_t start_date, std::int32_t end_date) {
    record("get_implied_cash_flow", fmt::format("get_implied_cash_flow({}, {}, {})",
                                                quoted(order_book_id), start_date, end_date));
    return within(lookup(implied_, order_book_id), start_date, end_date);
}

std::vector<std::string> MemoryBackend::get_yield_curve_list() {
    record("get_yield_curve_list", "get_yield_curve_list()");
    std::vector<std::string> names;
    for (const auto& [name, points] : curves_)
        if (points) names.push_back(name);
    return names;
}

YieldCurvePtr MemoryBackend::get_yield_curve(const std::string& curve,
                                             const bond::DateRangeOptions& options) {
    record("get_yield_curve",
           fmt::format("get_yield_curve({}, start_date={}, end_date={})", quoted(curve),
                       quoted(options.start_date), quoted(options.end_date)));
    const auto lo = korvex::date_from_int(detail::date_argument("start_date", options.start_date));
    const auto hi = korvex::date_from_int(detail::date_argument("end_date", options.end_date));
    auto it = curves_.find(curve);
    if (it == curves_.end() || !it->second) return nullptr;
    auto out = std::make_shared<YieldCurve>();
    const YieldCurve& all = *it->second;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (lo <= all.dates[i] && all.dates[i] <= hi)
            out->append(all.dates[i], all.tenors[i], all.yields[i]);
    return out;
}

}  // namespace tavlen
