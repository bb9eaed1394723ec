#include "korvex/value.hpp"

#include <fmt/format.h>

#include <cmath>

#include "korvex/errors.hpp"

namespace korvex {

std::string Value::kind() const {
    switch (v_.index()) {
        case 0:
            return "none";
        case 1:
            return "bool";
        case 2:
            return "int";
        case 3:
            return "float";
        case 4:
            return "str";
        default:
            return "datetime";
    }
}

bool Value::as_bool() const {
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    throw TypeError(fmt::format("expected a bool, got {} {}", kind(), to_string()));
}

std::int64_t Value::as_int() const {
    if (auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    if (auto* d = std::get_if<double>(&v_); d && std::floor(*d) == *d)
        return static_cast<std::int64_t>(*d);
    throw TypeError(fmt::format("expected an integer, got {} {}", kind(), to_string()));
}

double Value::as_double() const {
    if (auto* d = std::get_if<double>(&v_)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (auto* b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
    throw TypeError(fmt::format("expected a number, got {} {}", kind(), to_string()));
}

const std::string& Value::as_string() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    throw TypeError(fmt::format("expected a text, got {} {}", kind(), to_string()));
}

DateTime Value::as_datetime() const {
    if (auto* t = std::get_if<DateTime>(&v_)) return *t;
    if (auto* s = std::get_if<std::string>(&v_)) return parse_datetime(*s);
    throw TypeError(fmt::format("expected a date-time, got {} {}", kind(), to_string()));
}

bool Value::truthy() const {
    switch (v_.index()) {
        case 0:
            return false;
        case 1:
            return std::get<bool>(v_);
        case 2:
            return std::get<std::int64_t>(v_) != 0;
        case 3:
            return std::get<double>(v_) != 0.0;
        case 4:
            return !std::get<std::string>(v_).empty();
        default:
            return true;
    }
}

std::string Value::to_string() const {
    switch (v_.index()) {
        case 0:
            return "None";
        case 1:
            return std::get<bool>(v_) ? "True" : "False";
        case 2:
            return fmt::format("{}", std::get<std::int64_t>(v_));
        case 3:
            return fmt::format("{}", std::get<double>(v_));
        case 4:
            return std::get<std::string>(v_);
        default:
            return format_datetime(std::get<DateTime>(v_));
    }
}

Record::Record(std::initializer_list<std::pair<std::string, Value>> fields) {
    for (auto& [k, v] : fields) set(k, v);
}

const Value* Record::find(std::string_view name) const {
    for (auto& [k, v] : fields_)
        if (k == name) return &v;
    return nullptr;
}

bool Record::contains(std::string_view name) const {
    return find(name) != nullptr;
}

const Value& Record::get(std::string_view name) const {
    if (auto* v = find(name)) return *v;
    throw KeyError(fmt::format("'{}'", name));
}

void Record::set(std::string_view name, Value value) {
    for (auto& [k, v] : fields_)
        if (k == name) {
            v = std::move(value);
            return;
        }
    fields_.emplace_back(std::string(name), std::move(value));
}

bool Record::erase(std::string_view name) {
    for (auto it = fields_.begin(); it != fields_.end(); ++it)
        if (it->first == name) {
            fields_.erase(it);
            return true;
        }
    return false;
}

}  // namespace korvex
