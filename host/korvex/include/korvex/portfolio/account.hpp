// An account: cash and the positions of one account type. Positions live in insertion order in
// one contiguous list with a hash index, so the daily loop walks them without lookups.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/model/order.hpp"
#include "korvex/portfolio/position.hpp"

namespace korvex {

class Environment;

class Account {
public:
    Account(DEFAULT_ACCOUNT_TYPE type, double starting_cash, Environment* env);

    DEFAULT_ACCOUNT_TYPE type() const { return type_; }
    double cash() const { return cash_; }
    double frozen_cash() const { return frozen_cash_; }
    double starting_cash() const { return starting_cash_; }
    double market_value() const;
    double total_value() const;  // cash + frozen cash + the equity of every position
    double transaction_cost() const;

    // The position, created through the environment's position model when absent.
    Position& get_position(const std::string& order_book_id, POSITION_DIRECTION direction);
    Position* find_position(const std::string& order_book_id, POSITION_DIRECTION direction) const;
    const std::vector<std::unique_ptr<Position>>& positions() const { return positions_; }

    // Books a fill: the position's cash change enters the account.
    void apply_trade(const Trade& trade, const Order* order = nullptr);
    void before_trading(Date trading_date);
    void settlement(Date trading_date);
    void add_cash(double delta) { cash_ += delta; }

    // Order reservations: buys freeze cash, closes freeze quantity.
    void on_order_pending(const Order& order, double frozen_cash);
    void on_order_unfrozen(const Order& order, double released_cash);
    void release_frozen_cash(double cash) {
        cash_ += cash;
        frozen_cash_ -= cash;
    }

    State get_state() const;
    void set_state(const State& state);

private:
    DEFAULT_ACCOUNT_TYPE type_;
    double starting_cash_;
    double cash_;
    double frozen_cash_ = 0;
    Environment* env_;
    std::vector<std::unique_ptr<Position>> positions_;
    std::unordered_map<std::string, std::size_t> index_;  // "id|L" / "id|S" -> slot
};

}  // namespace korvex
