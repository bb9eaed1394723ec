#include "tavlen/table.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <utility>

#include "korvex/errors.hpp"

namespace tavlen {

Table::Table(std::vector<std::string> column_names, std::string date_level)
    : index_names_{"order_book_id", std::move(date_level)},
      column_names_(std::move(column_names)),
      columns_(column_names_.size()) {
    for (std::size_t i = 0; i < column_names_.size(); ++i) {
        if (std::find(column_names_.begin(), column_names_.begin() + static_cast<long>(i),
                      column_names_[i]) != column_names_.begin() + static_cast<long>(i))
            throw korvex::ValueError(fmt::format("duplicate column '{}'", column_names_[i]));
    }
}

const std::vector<korvex::Date>& Table::index_level(std::string_view name) const {
    if (name == index_names_[1]) return dates_;
    if (name == index_names_[0])
        throw korvex::KeyError(
            fmt::format("index level '{}' holds ids, not dates; use order_book_ids()", name));
    throw korvex::KeyError(fmt::format("index level '{}' not in table (levels: {}, {})", name,
                                       index_names_[0], index_names_[1]));
}

bool Table::has_column(std::string_view name) const {
    return std::find(column_names_.begin(), column_names_.end(), name) != column_names_.end();
}

const std::vector<double>& Table::column(std::string_view name) const {
    auto it = std::find(column_names_.begin(), column_names_.end(), name);
    if (it == column_names_.end())
        throw korvex::KeyError(fmt::format("column '{}' not in table", name));
    return columns_[static_cast<std::size_t>(it - column_names_.begin())];
}

std::vector<double>& Table::mutable_column(std::string_view name) {
    return const_cast<std::vector<double>&>(std::as_const(*this).column(name));
}

void Table::append(std::string order_book_id, korvex::Date date,
                   const std::vector<double>& values) {
    if (values.size() != columns_.size())
        throw korvex::ValueError(fmt::format("row of {} values for a table of {} columns ({})",
                                             values.size(), columns_.size(),
                                             fmt::join(column_names_, ", ")));
    ids_.push_back(std::move(order_book_id));
    dates_.push_back(date);
    for (std::size_t c = 0; c < values.size(); ++c) columns_[c].push_back(values[c]);
}

void Table::reserve(std::size_t rows) {
    ids_.reserve(rows);
    dates_.reserve(rows);
    for (auto& c : columns_) c.reserve(rows);
}

}  // namespace tavlen
