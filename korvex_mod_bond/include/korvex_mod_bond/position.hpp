// The bond mod's position models: bond positions with their cash-flow schedules and pledges,
// repo positions, and the strategy-facing proxies. load() registers them with a run.
#pragma once

#include "korvex/environment.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"
#include "korvex_mod_bond/position/proxy.hpp"
#include "korvex_mod_bond/position/repo_position.hpp"

namespace korvex_mod_bond::position {

// Registers BondPosition, RepoPosition and their proxies for their instrument types. The bond
// positions of the run share one set of cash-flow schedule caches, created here.
// Returns the run's shared schedules, which also keep what the bond positions were paid.
std::shared_ptr<CashFlowSchedules> load(korvex::Environment& env);

}  // namespace korvex_mod_bond::position
