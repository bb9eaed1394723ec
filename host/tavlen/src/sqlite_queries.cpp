#include "sqlite_queries.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace tavlen::detail {

const TableSpec QUOTATION_SPEC{
    "repo_quotation",
    "date",
    {"open", "close", "high", "low", "volume", "total_turnover", "weighted"},
    "order_book_id = ?1 AND date BETWEEN ?2 AND ?3",
    "date"};
const TableSpec VALUATION_SPEC{
    "valuation",
    "date",
    {"dirty_price_eod", "dv01", "ytm", "clean_price", "modified_duration", "convexity",
     "time_to_maturity", "residual_principal"},
    "order_book_id = ?1 AND source = ?2 AND valuation_type = ?3 "
    "AND date BETWEEN ?4 AND ?5",
    "date"};
const TableSpec PRICE_SPEC{"price",
                           "date",
                           {"dirty_price_open", "dirty_price_high", "dirty_price_low",
                            "dirty_price_eod", "ytm_close", "clean_price_eod", "volume"},
                           "order_book_id = ?1 AND source = ?2 AND date BETWEEN ?3 AND ?4",
                           "date"};
// details = false: the end-of-day columns only.
const TableSpec PRICE_EOD_SPEC{"price",
                               "date",
                               {"dirty_price_eod", "clean_price_eod", "ytm_close", "volume"},
                               PRICE_SPEC.where,
                               "date"};
const TableSpec REALIZED_SPEC{"realized_cash_flow",
                              "payment_date",
                              {"cash_flow", "principal_payment"},
                              "order_book_id = ?1",
                              "seq"};
const TableSpec IMPLIED_SPEC{"implied_cash_flow",
                             "date",
                             {"total_payment", "payment_receivable", "principal_payment"},
                             "order_book_id = ?1 AND date BETWEEN ?2 AND ?3",
                             "seq"};

namespace {

std::string select_sql(const TableSpec& s) {
    return fmt::format("SELECT {}, {} FROM {} WHERE {} ORDER BY {}", s.date_column,
                       fmt::join(s.columns, ", "), s.table, s.where, s.order_by);
}

// Whether the instrument has any row of this kind at all: tells none from an empty range.
std::string any_sql(const char* table, const char* key) {
    return fmt::format("SELECT 1 FROM {} WHERE {} LIMIT 1", table, key);
}

}  // namespace

const std::array<QueryText, QUERY_COUNT>& queries() {
    static const std::array<QueryText, QUERY_COUNT> q{{
        {"instrument", "SELECT order_book_id FROM instrument WHERE type = ?1 ORDER BY seq"},
        // One row with a NULL name: a known instrument without fields; no row: unknown.
        {"instrument_field",
         "SELECT f.name, f.kind, f.value FROM instrument AS i LEFT JOIN instrument_field AS f "
         "ON f.order_book_id = i.order_book_id WHERE i.order_book_id = ?1 ORDER BY f.seq"},
        {"trading_date",
         "SELECT date FROM trading_date WHERE date BETWEEN ?1 AND ?2 ORDER BY date"},
        {"repo_quotation", select_sql(QUOTATION_SPEC)},
        {"repo_quotation", any_sql("repo_quotation", "order_book_id = ?1")},
        {"valuation", select_sql(VALUATION_SPEC)},
        {"valuation",
         any_sql("valuation", "order_book_id = ?1 AND source = ?2 AND valuation_type = ?3")},
        {"price", select_sql(PRICE_SPEC)},
        {"price", select_sql(PRICE_EOD_SPEC)},
        {"price", any_sql("price", "order_book_id = ?1 AND source = ?2")},
        {"realized_cash_flow", select_sql(REALIZED_SPEC)},
        {"implied_cash_flow", select_sql(IMPLIED_SPEC)},
        {"implied_cash_flow", any_sql("implied_cash_flow", "order_book_id = ?1")},
        {"yield_curve", "SELECT DISTINCT curve FROM yield_curve ORDER BY curve"},
        {"yield_curve",
         "SELECT date, tenor, yield FROM yield_curve WHERE curve = ?1 AND date BETWEEN ?2 AND ?3 "
         "ORDER BY date, tenor"},
        {"yield_curve", any_sql("yield_curve", "curve = ?1")},
    }};
    return q;
}

}  // namespace tavlen::detail
