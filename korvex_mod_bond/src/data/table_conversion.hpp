// Turning one instrument's client day table into a record array: the checks that make row i
// the i-th date, and the copy of whole columns into the fields of the records.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "korvex/datetime_func.hpp"
#include "tavlen/table.hpp"

namespace korvex_mod_bond::detail {

// ValueError naming the instrument unless the dates ascend strictly (one row per date): only
// then is the i-th distinct date the date of row i.
void check_one_row_per_date(const tavlen::Table& table, std::string_view order_book_id);

// The named column; KeyError naming the column and the instrument when the table lacks it.
const std::vector<double>& require_column(const tavlen::Table& table, std::string_view column,
                                          std::string_view order_book_id);

// Row i of the table becomes record i in one pass, each record written once: the stamp of the
// row's date, then fields[k] from columns[k]; fields without a column keep blank's value.
template <class Record>
std::vector<Record> to_records(const tavlen::Table& table, const Record& blank,
                               std::span<double Record::*const> fields,
                               std::span<const std::vector<double>* const> columns) {
    const auto& dates = table.dates();
    std::vector<Record> records;
    records.reserve(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        Record& record = records.emplace_back(blank);
        record.datetime = static_cast<std::uint64_t>(korvex::convert_date_to_int(dates[i]));
        for (std::size_t k = 0; k < fields.size(); ++k) record.*fields[k] = (*columns[k])[i];
    }
    return records;
}

}  // namespace korvex_mod_bond::detail
