#include "cells.hpp"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "korvex/datetime_func.hpp"
#include "korvex/errors.hpp"

namespace korvex_import {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool is_lower(char c) {
    return c >= 'a' && c <= 'z';
}

// code (letters and digits), one point, market suffix of capitals: 019547.SH, R007.IB
bool is_order_book_id(std::string_view s) {
    const auto dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == s.size()) return false;
    for (char c : s.substr(0, dot)) {
        if (!is_digit(c) && !is_upper(c) && !is_lower(c)) return false;
    }
    for (char c : s.substr(dot + 1)) {
        if (!is_upper(c)) return false;
    }
    return true;
}

bool parse_number(std::string_view s, double& out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && std::isfinite(out);
}

bool parse_integer(std::string_view s, std::int64_t& out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS, digits where digits belong (the host's parser takes
// more forms); YYYYMMDDHHMMSS on success.
bool parse_datetime_cell(std::string_view s, std::int64_t& out) {
    static constexpr std::string_view DASHED = "dddd-dd-dd dd:dd:dd";
    const std::string_view shape = s.size() == DASHED.size() ? DASHED : "dddddddddddddd";
    if (s.size() != shape.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (shape[i] == 'd' ? !is_digit(s[i]) : s[i] != shape[i]) return false;
    }
    try {
        korvex::DateTime dt;
        if (shape == DASHED) {
            dt = korvex::parse_datetime(s);
        } else {
            std::int64_t stamp = 0;
            std::from_chars(s.data(), s.data() + s.size(), stamp);
            dt = korvex::datetime_from_int(stamp);
        }
        out = korvex::convert_date_to_int(dt);
    } catch (const korvex::ValueError&) {
        return false;
    }
    return true;
}

std::string check_field_value(std::string_view kind, std::string_view raw, CellValue& out) {
    const std::string_view s = trim(raw);
    if (kind == "none") {
        if (!s.empty()) return fmt::format("a field of kind none takes no value, got '{}'", raw);
        out.kind = CellValue::Kind::Null;
    } else if (kind == "bool") {
        if (s == "true" || s == "1") {
            out.integer = 1;
        } else if (s == "false" || s == "0") {
            out.integer = 0;
        } else {
            return fmt::format("'{}' is not a bool (true, false, 1 or 0)", raw);
        }
        out.kind = CellValue::Kind::Integer;
    } else if (kind == "int") {
        if (!parse_integer(s, out.integer)) return fmt::format("'{}' is not an integer", raw);
        out.kind = CellValue::Kind::Integer;
    } else if (kind == "float") {
        if (!parse_number(s, out.real)) return fmt::format("'{}' is not a number", raw);
        out.kind = CellValue::Kind::Real;
    } else if (kind == "text") {
        out.kind = CellValue::Kind::Text;
        out.text = std::string(raw);
    } else {  // datetime; the kind column was checked before
        try {
            out.text = korvex::format_datetime(korvex::parse_datetime(s));
        } catch (const korvex::ValueError&) {
            return fmt::format("'{}' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYY-MM-DD)", raw);
        }
        out.kind = CellValue::Kind::Text;
    }
    return {};
}

}  // namespace

std::string check_cell(CellType type, std::string_view raw, std::string_view field_kind,
                       CellValue& out) {
    out = CellValue{};
    if (type == CellType::FieldValue) return check_field_value(field_kind, raw, out);
    const std::string_view s = trim(raw);
    if (s.empty() && type != CellType::Number && type != CellType::Size)
        return "a value is required";
    switch (type) {
        case CellType::Id:
            if (!is_order_book_id(s)) {
                return fmt::format(
                    "'{}' is not an order book id (code, point, market suffix, "
                    "e.g. 019547.SH)",
                    raw);
            }
            out.kind = CellValue::Kind::Text;
            out.text = std::string(s);
            return {};
        case CellType::Date: {
            std::int32_t value = 0;
            try {
                value = korvex::convert_date_to_date_int(korvex::parse_date(s));
            } catch (const korvex::ValueError&) {
                return fmt::format("'{}' is not a date (YYYY-MM-DD or YYYYMMDD)", raw);
            }
            if (value < 19000101 || value > 29991231) {
                return fmt::format("'{}' is outside 1900-01-01 to 2999-12-31", raw);
            }
            out.kind = CellValue::Kind::Integer;
            out.integer = value;
            return {};
        }
        case CellType::DateTime:
            if (!parse_datetime_cell(s, out.integer)) {
                return fmt::format(
                    "'{}' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS)", raw);
            }
            if (out.integer < 19000101000000 || out.integer > 29991231235959) {
                return fmt::format("'{}' is outside 1900-01-01 to 2999-12-31", raw);
            }
            out.kind = CellValue::Kind::Integer;
            return {};
        case CellType::Number:
            if (s.empty()) return {};  // no value; the client reads it as not-a-number
            if (!parse_number(s, out.real)) return fmt::format("'{}' is not a number", raw);
            out.kind = CellValue::Kind::Real;
            return {};
        case CellType::Size:
            out.kind = CellValue::Kind::Real;
            if (s.empty()) return {};  // an empty level
            if (!parse_number(s, out.real) || out.real < 0.0)
                return fmt::format("'{}' is not a size (a number, 0 or more)", raw);
            return {};
        case CellType::Name:
            out.kind = CellValue::Kind::Text;
            out.text = std::string(s);
            return {};
        case CellType::FieldName:
            if (!is_lower(s.front()) && s.front() != '_') {
                return fmt::format("'{}' is not a field name (lower-case letters, digits, _)", raw);
            }
            for (char c : s) {
                if (!is_lower(c) && !is_digit(c) && c != '_') {
                    return fmt::format("'{}' is not a field name (lower-case letters, digits, _)",
                                       raw);
                }
            }
            out.kind = CellValue::Kind::Text;
            out.text = std::string(s);
            return {};
        case CellType::InstrumentType:
            if (s != "bond" && s != "repo") {
                return fmt::format("'{}' is not an instrument type (bond or repo)", raw);
            }
            out.kind = CellValue::Kind::Text;
            out.text = std::string(s);
            return {};
        case CellType::FieldKind:
            if (s != "none" && s != "bool" && s != "int" && s != "float" && s != "text" &&
                s != "datetime") {
                return fmt::format(
                    "'{}' is not a field kind (none, bool, int, float, text or datetime)", raw);
            }
            out.kind = CellValue::Kind::Text;
            out.text = std::string(s);
            return {};
        case CellType::FieldValue:
            break;
    }
    return {};
}

}  // namespace korvex_import
