// How bond and repo positions write their pledges and open settlements into saved state:
// JSON objects keyed by the due date ("2020-01-06"). Reading names the position and the entry
// that is wrong.
#pragma once

#include <map>
#include <string>

#include "korvex/portfolio/position.hpp"
#include "korvex_mod_bond/position/repo_position.hpp"

namespace korvex_mod_bond {

inline constexpr const char* PLEDGES_KEY = "pledges";
inline constexpr const char* DUE_SETTLEMENTS_KEY = "due_settlements";

korvex::State pledges_to_state(const std::map<korvex::Date, double>& pledges);
std::map<korvex::Date, double> pledges_from_state(const korvex::State& state,
                                                  const std::string& where);

korvex::State due_settlements_to_state(const std::map<korvex::Date, DueSettlement>& entries);
std::map<korvex::Date, DueSettlement> due_settlements_from_state(const korvex::State& state,
                                                                 const std::string& where);

}  // namespace korvex_mod_bond
