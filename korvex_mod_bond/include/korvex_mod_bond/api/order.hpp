// The strategy's order functions for bonds and repos. Every refusal is a null result and one
// warning on the user log; nothing is booked.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvex/strategy.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/trade.hpp"

namespace korvex_mod_bond::api {

// Buy (positive) or sell (negative) a number of bond units; `price` makes it a limit order.
korvex::OrderPtr order_bond(korvex::StrategyContext& ctx, const std::string& order_book_id,
                            double quantity, std::optional<double> price = std::nullopt);
// Buy (positive) or sell (negative) bonds worth about `cash_amount` at the price (or the last
// close), in whole lots.
korvex::OrderPtr order_bond_value(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                  double cash_amount, std::optional<double> price = std::nullopt);
// Buy (positive) or sell (negative) bonds of `face_value` yuan of face at issue (units of 100),
// in whole lots; `limit`: a clean price per unit or a yield in percent (a buy fills at or below
// the price, at or above the yield), restated as the dirty price of the day the order fills.
korvex::OrderPtr order_bond_face(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                 double face_value, const BondLimit& limit = {});
// Trade towards holding `target_quantity` units.
korvex::OrderPtr order_bond_target(korvex::StrategyContext& ctx, const std::string& order_book_id,
                                   double target_quantity,
                                   std::optional<double> price = std::nullopt);

// Borrow cash on an exchange repo (".SH"/".SZ") against a held bond of the same exchange:
// `nominal_amount` of face value pledged, rounded down to whole trading units of the repo (1000
// in Shanghai, 100000 in Shenzhen), cash received = nominal x haircut. `rate_limit`: the
// highest rate paid. A bond repaid by the repo's due date cannot be pledged.
korvex::OrderPtr exchange_repo_financing(korvex::StrategyContext& ctx, const std::string& repo_id,
                                         double nominal_amount, const std::string& bond_id,
                                         double haircut = 1.0,
                                         std::optional<double> rate_limit = std::nullopt);
// Lend cash on an exchange repo, rounded down to whole trading units and at least the
// exchange's minimum (100000 in Shanghai, 1000 in Shenzhen, so one unit of 100000 there).
// `rate_limit`: the lowest rate accepted.
korvex::OrderPtr exchange_reverse_repo(korvex::StrategyContext& ctx, const std::string& repo_id,
                                       double amount,
                                       std::optional<double> rate_limit = std::nullopt);

// Inter-bank repos, booked at today's rate of the standard repo covering the term in days.
std::shared_ptr<RepoTrade> ib_repo(korvex::StrategyContext& ctx, int term_days,
                                   double nominal_amount, const std::string& bond_id,
                                   double haircut = 1.0);
std::shared_ptr<RepoTrade> ib_reverse_repo(korvex::StrategyContext& ctx, int term_days,
                                           double amount);

// The largest amount that `available_cash` lends on this repo, commission included.
double calc_max_amount(const std::string& repo_id, double available_cash);

}  // namespace korvex_mod_bond::api
