// The CSV layouts the importer accepts: one per table of the client's database (plus the
// exchange calendar of the bundle and the HDF5 files of minute bars and quote snapshots), with
// the type of every column.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "korvex/bars.hpp"

namespace korvex_import {

enum class CellType {
    Id,              // order book id: code, point, market suffix
    Date,            // YYYY-MM-DD or YYYYMMDD
    DateTime,        // YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS
    Number,          // finite decimal number; empty means no value
    Size,            // quoted size: a number, 0 or more; empty means 0 (an empty level)
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

// A table kept as one HDF5 file of records per instrument, <bundle>/<folder>/<id>.h5, rather
// than in the database. The columns after order_book_id are members of `layout`.
struct RecordFiles {
    std::string_view folder;
    const korvex::RecordLayout* layout;
};

struct TableLayout {
    std::string_view table;
    std::vector<ColumnSpec> columns;
    std::vector<std::string_view> key;  // unique within one import, empty when rows may repeat
    std::optional<RecordFiles> files = {};
};

const std::vector<TableLayout>& table_layouts();
const TableLayout* find_layout(std::string_view table);

// The exchange calendar of the bundle (trading_dates.txt) rather than a database table.
inline constexpr std::string_view EXCHANGE_CALENDAR = "exchange_trading_date";

}  // namespace korvex_import
