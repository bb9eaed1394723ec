// The statements of the SQLite backend and the shape of each table it answers.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace tavlen::detail {

// One statement per kind of read. The table readers select the date column first and then the
// value columns in the order the answer lists them.
enum Query : std::size_t {
    BOND_LIST,
    INSTRUMENT_FIELDS,
    TRADING_DATES,
    QUOTATION,
    QUOTATION_ANY,
    VALUATION,
    VALUATION_ANY,
    PRICE,
    PRICE_EOD,
    PRICE_ANY,
    REALIZED,
    IMPLIED,
    IMPLIED_ANY,
    CURVE_LIST,
    CURVE,
    CURVE_ANY,
    QUERY_COUNT
};

struct TableSpec {
    const char* table;
    const char* date_column;
    std::vector<std::string> columns;
    const char* where;     // the rows asked for
    const char* order_by;  // delivery order
};

extern const TableSpec QUOTATION_SPEC, VALUATION_SPEC, PRICE_SPEC, PRICE_EOD_SPEC, REALIZED_SPEC,
    IMPLIED_SPEC;

struct QueryText {
    const char* table;
    std::string sql;
};

// Indexed by Query.
const std::array<QueryText, QUERY_COUNT>& queries();

}  // namespace tavlen::detail
