#include "korvex_mod_bond/position/cash_flow.hpp"

#include <fmt/format.h>

#include <cmath>
#include <tuple>

#include "korvex/datetime_func.hpp"
#include "korvex/errors.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

namespace {

// The first and last day of the implied cash flows asked of the client.
constexpr std::int32_t IMPLIED_START_DATE = 20050102;
constexpr std::int32_t IMPLIED_END_DATE = 29991231;

const std::vector<double>& checked_column(const std::string& order_book_id,
                                          const tavlen::Table& table, std::string_view name,
                                          const std::vector<korvex::Date>& dates) {
    const std::vector<double>& column = table.column(name);
    for (std::size_t i = 0; i < column.size(); ++i)
        if (std::isnan(column[i]))
            throw korvex::ValueError(fmt::format("cash-flow table of {} has no {} on {}",
                                                 order_book_id, name,
                                                 korvex::format_date(dates[i])));
    return column;
}

std::vector<std::int32_t> date_ints(const std::vector<korvex::Date>& dates) {
    std::vector<std::int32_t> out;
    out.reserve(dates.size());
    for (korvex::Date d : dates) out.push_back(korvex::convert_date_to_date_int(d));
    return out;
}

}  // namespace

CashFlowSchedule build_real_cash_flow(const std::string& order_book_id,
                                      const tavlen::Table* table) {
    if (table == nullptr || table->empty()) return nullptr;
    const auto& dates = table->index_level("payment_date");
    const auto& cash_flow = checked_column(order_book_id, *table, "cash_flow", dates);
    const auto& principal = checked_column(order_book_id, *table, "principal_payment", dates);
    const std::vector<std::int32_t> days = date_ints(dates);

    // Sort by date first (ties: cash flow, then principal, which orders the running sums too),
    // then sum the principal in date order.
    std::vector<std::size_t> order(days.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(days[a], cash_flow[a], principal[a]) <
               std::tie(days[b], cash_flow[b], principal[b]);
    });
    auto records = std::make_shared<std::vector<CashFlowRecord>>();
    records->reserve(order.size());
    double cum = 0;
    for (std::size_t i : order) {
        cum += principal[i];
        records->push_back({days[i], cash_flow[i], cum});
    }
    return records;
}

ImpliedCashFlowSchedule build_implied_cash_flow(const std::string& order_book_id,
                                                const tavlen::Table* table) {
    if (table == nullptr || table->empty()) return nullptr;
    const auto& dates = table->index_level("date");
    const auto& total = checked_column(order_book_id, *table, "total_payment", dates);
    const auto& receivable = checked_column(order_book_id, *table, "payment_receivable", dates);
    const auto& principal = checked_column(order_book_id, *table, "principal_payment", dates);
    const std::vector<std::int32_t> days = date_ints(dates);

    std::vector<std::size_t> order(days.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(days[a], total[a], principal[a], receivable[a]) <
               std::tie(days[b], total[b], principal[b], receivable[b]);
    });
    auto records = std::make_shared<std::vector<ImpliedCashFlowRecord>>();
    records->reserve(order.size());
    double cum = 0;
    for (std::size_t i : order) {
        cum += principal[i];
        records->push_back({days[i], total[i], cum, receivable[i]});
    }
    return records;
}

const CashFlowSchedule& CashFlowSchedules::_all_real_cash_flow(const std::string& order_book_ids) {
    return real_.get_or_compute(order_book_ids, [&] {
        tavlen::TablePtr table = tavlen::bond::realized_cash_flow(order_book_ids);
        return build_real_cash_flow(order_book_ids, table.get());
    });
}

const ImpliedCashFlowSchedule& CashFlowSchedules::_all_implied_cash_flow(
    const std::string& order_book_ids) {
    return implied_.get_or_compute(order_book_ids, [&] {
        tavlen::TablePtr table = tavlen::bond::get_implied_cash_flow(
            order_book_ids, IMPLIED_START_DATE, IMPLIED_END_DATE);
        return build_implied_cash_flow(order_book_ids, table.get());
    });
}

}  // namespace korvex_mod_bond
