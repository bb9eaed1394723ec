// Small helpers shared by the bond mod's positions, trades, validators and cost deciders: which
// ids are exchange bonds, and what a repo costs in commission. Rates come from the mod's
// configuration section (mod.bond) of the running environment.
#pragma once

#include <string>
#include <string_view>

namespace korvex_mod_bond {

// True exactly for bonds listed in Shanghai (".SH") or Shenzhen (".SZ").
bool is_exchange_bond(std::string_view order_book_id);

// Commission of a repo as a share of its cash amount. Exchange repos (".SH", ".SZ") pay by the
// repo instrument's term from mod.bond.exchange_repo_commission_rate: the rate of the shortest
// listed term that covers the repo's term, or the "longer" rate past the longest listed term.
// Every other repo pays mod.bond.ib_repo_commission_rate. ValueError naming the repo or the
// configuration entry when the rate cannot be determined.
double get_commission_rate(const std::string& order_book_id);

// Commission in cash of a repo of `amount`.
double calc_repo_commission(const std::string& order_book_id, double amount);

// `amount` in whole trading units of `lot`, rounded down (a hair of rounding below a whole unit
// still counts as that unit).
double whole_lots(double amount, double lot);

}  // namespace korvex_mod_bond
