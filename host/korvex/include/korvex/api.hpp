// Order placement shared by strategies and by mods' order functions: the host's own checks
// (known instrument, positive quantity, listed, cash for buys, closable quantity for closes),
// then the registered validators, then the broker. A refusal is a null order plus one warning
// on user_system_log; nothing is booked.
#pragma once

#include <optional>
#include <string>

#include "korvex/environment.hpp"

namespace korvex {

OrderPtr submit_order(Environment& env, const std::string& order_book_id, double quantity,
                      SIDE side, POSITION_EFFECT effect, std::optional<double> price = std::nullopt,
                      Record extra = {});

// What an order placed now may spend: the account's free cash and what its open sells and
// financings are expected to bring in before it fills.
double buying_power(Environment& env, const Account& account);

// The latest close known at the environment's current time (day bars), or NaN.
double last_close(Environment& env, const std::string& order_book_id);

}  // namespace korvex
