#include "table_layouts.hpp"

#include "korvex/tick.hpp"
#include "minute_bar.hpp"

namespace korvex_import {

namespace {

// order_book_id, then the members of `layout` under their own names. Sizes of quoted levels
// (a1_v ..) may be left empty for an empty level; the stamp comes first in every record file.
std::vector<ColumnSpec> record_columns(const korvex::RecordLayout& layout) {
    std::vector<ColumnSpec> columns{{"order_book_id", CellType::Id}};
    for (const korvex::FieldSpec& f : layout.fields()) {
        const std::string_view name = f.name;
        columns.push_back({name, name == "datetime"     ? CellType::DateTime
                                 : name.ends_with("_v") ? CellType::Size
                                                        : CellType::Number});
    }
    return columns;
}

}  // namespace

const std::vector<TableLayout>& table_layouts() {
    using enum CellType;
    static const std::vector<TableLayout> layouts = {
        {"instrument", {{"order_book_id", Id}, {"type", InstrumentType}}, {"order_book_id"}},
        {"instrument_field",
         {{"order_book_id", Id}, {"name", FieldName}, {"kind", FieldKind}, {"value", FieldValue}},
         {"order_book_id", "name"}},
        {"trading_date", {{"date", Date}}, {"date"}},
        {EXCHANGE_CALENDAR, {{"date", Date}}, {"date"}},
        {"valuation",
         {{"order_book_id", Id},
          {"source", Name},
          {"valuation_type", Name},
          {"date", Date},
          {"dirty_price_eod", Number},
          {"clean_price", Number},
          {"ytm", Number},
          {"modified_duration", Number},
          {"convexity", Number},
          {"dv01", Number},
          {"time_to_maturity", Number},
          {"residual_principal", Number}},
         {"order_book_id", "source", "valuation_type", "date"}},
        {"price",
         {{"order_book_id", Id},
          {"source", Name},
          {"date", Date},
          {"dirty_price_open", Number},
          {"dirty_price_high", Number},
          {"dirty_price_low", Number},
          {"dirty_price_eod", Number},
          {"ytm_close", Number},
          {"clean_price_eod", Number},
          {"volume", Number}},
         {"order_book_id", "source", "date"}},
        {"repo_quotation",
         {{"order_book_id", Id},
          {"date", Date},
          {"open", Number},
          {"close", Number},
          {"high", Number},
          {"low", Number},
          {"volume", Number},
          {"total_turnover", Number},
          {"weighted", Number}},
         {"order_book_id", "date"}},
        {"realized_cash_flow",
         {{"order_book_id", Id},
          {"payment_date", Date},
          {"cash_flow", Number},
          {"principal_payment", Number}},
         {}},
        {"implied_cash_flow",
         {{"order_book_id", Id},
          {"date", Date},
          {"total_payment", Number},
          {"payment_receivable", Number},
          {"principal_payment", Number}},
         {}},
        {"yield_curve",
         {{"curve", Name}, {"date", Date}, {"tenor", Number}, {"yield", Number}},
         {"curve", "date", "tenor"}},
        // Keyed by (order_book_id, datetime) too; the importer checks that once rows are sorted.
        {"minute_bar",
         record_columns(korvex_tools::minute_bar_layout()),
         {},
         RecordFiles{"h5", &korvex_tools::minute_bar_layout()}},
        {"tick",
         record_columns(korvex::tick_layout()),
         {},
         RecordFiles{"h5/ticks", &korvex::tick_layout()}},
    };
    return layouts;
}

const TableLayout* find_layout(std::string_view table) {
    for (const TableLayout& layout : table_layouts()) {
        if (layout.table == table) return &layout;
    }
    return nullptr;
}

}  // namespace korvex_import
