// An order of a strategy. Beyond the fixed attributes an order carries named extra values that
// mods define (a repo order's "bond_order_book_id" and "haircut").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/value.hpp"

namespace korvex {

class Trade;
using State = nlohmann::json;

class Order {
public:
    // `price` set makes a limit order, else a market order.
    static std::shared_ptr<Order> create(std::string order_book_id, double quantity, SIDE side,
                                         POSITION_EFFECT position_effect,
                                         std::optional<double> price = std::nullopt,
                                         Record extra = {});

    std::int64_t order_id() const { return order_id_; }
    const std::string& order_book_id() const { return order_book_id_; }
    double quantity() const { return quantity_; }
    double filled_quantity() const { return filled_quantity_; }
    double unfilled_quantity() const { return quantity_ - filled_quantity_; }
    SIDE side() const { return side_; }
    POSITION_EFFECT position_effect() const { return position_effect_; }
    POSITION_DIRECTION position_direction() const;
    ORDER_TYPE type() const { return price_ ? ORDER_TYPE::LIMIT : ORDER_TYPE::MARKET; }
    std::optional<double> price() const { return price_; }
    double frozen_price() const { return frozen_price_; }
    double avg_price() const { return avg_price_; }
    // What the fills cost, summed fill by fill.
    double transaction_cost() const { return transaction_cost_; }
    // The cost estimated at submission, for the reservation: never added to the fills'.
    double estimated_transaction_cost() const { return estimated_transaction_cost_; }
    ORDER_STATUS status() const { return status_; }
    const std::string& message() const { return message_; }
    DateTime datetime() const { return datetime_; }
    bool is_active() const;
    bool is_final() const;

    // Extra named values; attr raises AttributeError naming the value and the order.
    const Value& attr(std::string_view name) const;
    bool has_attr(std::string_view name) const { return extra_.contains(name); }
    const Record& extra() const { return extra_; }
    void set_attr(std::string_view name, Value value) { extra_.set(name, std::move(value)); }

    // Lifecycle, driven by the host and its broker.
    void set_frozen_price(double p) { frozen_price_ = p; }
    // A limit given in other terms than the fill's price (a bond's clean price or yield) is
    // restated by its mod in the fill's price terms of the day the order may fill.
    void set_limit_price(double p) { price_ = p; }
    void set_datetime(DateTime dt) { datetime_ = dt; }
    void set_estimated_transaction_cost(double c) { estimated_transaction_cost_ = c; }
    void activate();
    void fill(const Trade& trade);
    void fill(const Trade& trade, double order_quantity);
    void mark_rejected(std::string reason);
    void mark_cancelled(std::string reason);

    // An open order in a saved state, and back: every attribute, extras included. from_state
    // raises ValueError naming the entry that is wrong.
    State get_state() const;
    static std::shared_ptr<Order> from_state(const State& state);

private:
    Order() = default;
    std::int64_t order_id_ = 0;
    std::string order_book_id_;
    double quantity_ = 0;
    double filled_quantity_ = 0;
    SIDE side_ = SIDE::BUY;
    POSITION_EFFECT position_effect_ = POSITION_EFFECT::OPEN;
    std::optional<double> price_;
    double frozen_price_ = 0;
    double avg_price_ = 0;
    double transaction_cost_ = 0;
    double estimated_transaction_cost_ = 0;
    ORDER_STATUS status_ = ORDER_STATUS::PENDING_NEW;
    std::string message_;
    DateTime datetime_{};
    Record extra_;
};

using OrderPtr = std::shared_ptr<Order>;

// The direction of the position an order of this side and effect touches.
POSITION_DIRECTION position_direction_of(SIDE side, POSITION_EFFECT effect);

}  // namespace korvex
