// Named-field records: the form in which instrument definitions travel from the market-data client
// to the instruments. A field may be absent (not in the record) or present with an empty value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "korvex/datetime_func.hpp"

namespace korvex {

class Value {
public:
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, DateTime>;

    Value() = default;
    Value(std::nullopt_t) {}
    Value(bool v) : v_(v) {}
    Value(int v) : v_(static_cast<std::int64_t>(v)) {}
    Value(long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(long long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(double v) : v_(v) {}
    Value(const char* v) : v_(std::string(v)) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}
    Value(DateTime v) : v_(v) {}

    bool is_none() const { return std::holds_alternative<std::monostate>(v_); }
    bool is_bool() const { return std::holds_alternative<bool>(v_); }
    bool is_int() const { return std::holds_alternative<std::int64_t>(v_); }
    bool is_float() const { return std::holds_alternative<double>(v_); }
    bool is_number() const { return is_int() || is_float() || is_bool(); }
    bool is_string() const { return std::holds_alternative<std::string>(v_); }
    bool is_datetime() const { return std::holds_alternative<DateTime>(v_); }

    // Typed reads; a value of another kind raises TypeError naming both kinds.
    bool as_bool() const;
    std::int64_t as_int() const;
    double as_double() const;  // integers and booleans widen
    const std::string& as_string() const;
    DateTime as_datetime() const;

    // Truth as a user would read it: none, false, 0, "" are false.
    bool truthy() const;
    std::string kind() const;       // "none", "bool", "int", "float", "str", "datetime"
    std::string to_string() const;  // for messages and CSV output

    const Storage& storage() const { return v_; }
    bool operator==(const Value& other) const = default;

private:
    Storage v_;
};

// Ordered field name -> value. contains() tells an absent field from one present with none.
class Record {
public:
    Record() = default;
    Record(std::initializer_list<std::pair<std::string, Value>> fields);

    bool contains(std::string_view name) const;
    const Value* find(std::string_view name) const;
    // Raises KeyError naming the field when absent.
    const Value& get(std::string_view name) const;
    // Replaces a present field in place, appends an absent one.
    void set(std::string_view name, Value value);
    bool erase(std::string_view name);

    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    auto begin() const { return fields_.begin(); }
    auto end() const { return fields_.end(); }
    bool operator==(const Record& other) const = default;

private:
    std::vector<std::pair<std::string, Value>> fields_;
};

}  // namespace korvex
