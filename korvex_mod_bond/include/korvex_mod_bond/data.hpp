// The bond mod's market data: bond and repo instruments and their stores, bond day bars under
// three valuation sources, repo day bars and the inter-bank calendar, all fed by the tavlen
// client's bond namespace.
#pragma once

#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/data/instrument_store.hpp"
#include "korvex_mod_bond/data/inter_bank_calendar_store.hpp"
#include "korvex_mod_bond/data/repo_day_bar_store.hpp"
