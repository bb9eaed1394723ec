#include "saved_state.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"

namespace korvex_mod_bond {

namespace {

korvex::Date due_date(const std::string& key, const std::string& where, const char* entry) {
    try {
        return korvex::parse_date(key);
    } catch (const korvex::ValueError&) {
        throw korvex::ValueError(
            fmt::format("{}: {} key '{}' is not a due date (YYYY-MM-DD)", where, entry, key));
    }
}

double number(const korvex::State& value, const std::string& where, const std::string& what) {
    if (!value.is_number())
        throw korvex::ValueError(
            fmt::format("{}: {} must be a number, got {}", where, what, value.dump()));
    return value.get<double>();
}

void require_object(const korvex::State& state, const std::string& where, const char* entry,
                    const char* shape) {
    if (!state.is_object())
        throw korvex::ValueError(fmt::format("{}: {} must be an object of {}, got {}", where, entry,
                                             shape, state.dump()));
}

}  // namespace

korvex::State pledges_to_state(const std::map<korvex::Date, double>& pledges) {
    korvex::State out = korvex::State::object();
    for (const auto& [date, quantity] : pledges) out[korvex::format_date(date)] = quantity;
    return out;
}

std::map<korvex::Date, double> pledges_from_state(const korvex::State& state,
                                                  const std::string& where) {
    require_object(state, where, PLEDGES_KEY, "due date -> quantity");
    std::map<korvex::Date, double> out;
    for (const auto& [key, value] : state.items())
        out[due_date(key, where, PLEDGES_KEY)] =
            number(value, where, fmt::format("{}[{}]", PLEDGES_KEY, key));
    return out;
}

korvex::State due_settlements_to_state(const std::map<korvex::Date, DueSettlement>& entries) {
    korvex::State out = korvex::State::object();
    for (const auto& [date, entry] : entries)
        out[korvex::format_date(date)] = {{"quantity", entry.quantity},
                                          {"amount", entry.amount},
                                          {"accrual_rate", entry.accrual_rate},
                                          {"accrual_offset", entry.accrual_offset}};
    return out;
}

std::map<korvex::Date, DueSettlement> due_settlements_from_state(const korvex::State& state,
                                                                 const std::string& where) {
    require_object(state, where, DUE_SETTLEMENTS_KEY, "due date -> {quantity, amount}");
    std::map<korvex::Date, DueSettlement> out;
    for (const auto& [key, value] : state.items()) {
        const std::string entry = fmt::format("{}[{}]", DUE_SETTLEMENTS_KEY, key);
        if (!value.is_object() || !value.contains("quantity") || !value.contains("amount"))
            throw korvex::ValueError(fmt::format(
                "{}: {} must hold a quantity and an amount, got {}", where, entry, value.dump()));
        // A state saved before interest accrued daily accrues nothing until settlement.
        auto optional = [&, &held = value](const char* name) {
            return held.contains(name) ? number(held[name], where, entry + "." + name) : 0.0;
        };
        out[due_date(key, where, DUE_SETTLEMENTS_KEY)] = {
            number(value["quantity"], where, entry + ".quantity"),
            number(value["amount"], where, entry + ".amount"), optional("accrual_rate"),
            optional("accrual_offset")};
    }
    return out;
}

}  // namespace korvex_mod_bond
