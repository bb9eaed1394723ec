#include "table_conversion.hpp"

#include <fmt/format.h>

#include <string>

#include "korvex/errors.hpp"

namespace korvex_mod_bond::detail {

void check_one_row_per_date(const tavlen::Table& table, std::string_view order_book_id) {
    const auto& dates = table.dates();
    for (std::size_t i = 1; i < dates.size(); ++i) {
        if (dates[i - 1] < dates[i]) continue;
        const std::string what =
            dates[i] == dates[i - 1]
                ? fmt::format("row {} repeats {}", i, korvex::format_date(dates[i]))
                : fmt::format("row {} ({}) comes after {}", i, korvex::format_date(dates[i]),
                              korvex::format_date(dates[i - 1]));
        throw korvex::ValueError(
            fmt::format("day table of {} must hold one row per date in ascending order: {}",
                        order_book_id, what));
    }
}

const std::vector<double>& require_column(const tavlen::Table& table, std::string_view column,
                                          std::string_view order_book_id) {
    if (!table.has_column(column))
        throw korvex::KeyError(
            fmt::format("day table of {} has no column '{}'", order_book_id, column));
    const std::vector<double>& values = table.column(column);
    if (values.size() != table.size())
        throw korvex::ValueError(
            fmt::format("day table of {}: column '{}' has {} values for {} rows", order_book_id,
                        column, values.size(), table.size()));
    return values;
}

}  // namespace korvex_mod_bond::detail
