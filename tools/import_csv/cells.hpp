// Checks one CSV cell against its column type and turns it into the value stored in SQLite.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "table_layouts.hpp"

namespace korvex_import {

struct CellValue {
    enum class Kind { Null, Integer, Real, Text };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;
};

// Empty on success with `out` filled, else what is wrong with the cell, in words for the user.
// `field_kind` is the row's kind (only read for CellType::FieldValue).
std::string check_cell(CellType type, std::string_view cell, std::string_view field_kind,
                       CellValue& out);

}  // namespace korvex_import
