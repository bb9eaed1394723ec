// The CSV layouts the importer accepts: one per table of the client's database (plus the
// exchange calendar of the bundle), with the type of every column.
#pragma once

#include <string_view>
#include <vector>

namespace korvex_import {

enum class CellType {
    Id,              // order book id: code, point, market suffix
    Date,            // YYYY-MM-DD or YYYYMMDD
    Number,          // finite decimal number; empty means no value
    Name,            // non-empty text (source, valuation type)
    FieldName,       // lower-case identifier
    InstrumentType,  // bond or repo
    FieldKind,       // none, bool, int, float, text, datetime
    FieldValue,      // checked against the row's kind
};

struct ColumnSpec {
    std::string_view name;
    CellType type;
};

struct TableLayout {
    std::string_view table;
    std::vector<ColumnSpec> columns;
    std::vector<std::string_view> key;  // unique within one import, empty when rows may repeat
};

const std::vector<TableLayout>& table_layouts();
const TableLayout* find_layout(std::string_view table);

// The exchange calendar of the bundle (trading_dates.txt) rather than a database table.
inline constexpr std::string_view EXCHANGE_CALENDAR = "exchange_trading_date";

}  // namespace korvex_import
