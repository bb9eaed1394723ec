// A day table of the client: one instrument, rows indexed by (order book id, date), named
// numeric columns stored contiguously. Cash-flow tables use the same shape with a differently
// named date level ("payment_date").
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/datetime_func.hpp"

namespace tavlen {

class Table {
public:
    Table() = default;
    // `date_level` names the second index level ("date" for day tables).
    Table(std::vector<std::string> column_names, std::string date_level = "date");

    std::size_t size() const { return dates_.size(); }
    bool empty() const { return dates_.empty(); }

    const std::vector<std::string>& index_names() const { return index_names_; }
    const std::vector<std::string>& order_book_ids() const { return ids_; }
    // The date level by name; KeyError naming the level when the table has no such level.
    const std::vector<korvex::Date>& index_level(std::string_view name) const;
    const std::vector<korvex::Date>& dates() const { return dates_; }

    const std::vector<std::string>& column_names() const { return column_names_; }
    bool has_column(std::string_view name) const;
    // KeyError "column 'x' not in table" when absent.
    const std::vector<double>& column(std::string_view name) const;
    std::vector<double>& mutable_column(std::string_view name);

    // Appends one row; `values` in column order.
    void append(std::string order_book_id, korvex::Date date, const std::vector<double>& values);
    void reserve(std::size_t rows);

private:
    std::vector<std::string> index_names_{"order_book_id", "date"};
    std::vector<std::string> ids_;
    std::vector<korvex::Date> dates_;
    std::vector<std::string> column_names_;
    std::vector<std::vector<double>> columns_;
};

// Null means "no data" (the client's none).
using TablePtr = std::shared_ptr<const Table>;

}  // namespace tavlen
