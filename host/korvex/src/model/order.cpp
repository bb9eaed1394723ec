#include "korvex/model/order.hpp"

#include <fmt/format.h>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/model/trade.hpp"

namespace korvex {

POSITION_DIRECTION position_direction_of(SIDE side, POSITION_EFFECT effect) {
    switch (side) {
        case SIDE::BUY:
            return effect == POSITION_EFFECT::OPEN ? POSITION_DIRECTION::LONG
                                                   : POSITION_DIRECTION::SHORT;
        case SIDE::SELL:
            return effect == POSITION_EFFECT::OPEN ? POSITION_DIRECTION::SHORT
                                                   : POSITION_DIRECTION::LONG;
        case SIDE::FINANCING:
            return POSITION_DIRECTION::SHORT;
        case SIDE::MARGIN:
            return POSITION_DIRECTION::LONG;
    }
    return POSITION_DIRECTION::LONG;
}

std::shared_ptr<Order> Order::create(std::string order_book_id, double quantity, SIDE side,
                                     POSITION_EFFECT position_effect, std::optional<double> price,
                                     Record extra) {
    std::shared_ptr<Order> o(new Order());
    Environment* env = Environment::instance_ptr();
    o->order_id_ = env ? env->next_order_id() : 0;
    o->order_book_id_ = std::move(order_book_id);
    o->quantity_ = quantity;
    o->side_ = side;
    o->position_effect_ = position_effect;
    o->price_ = price;
    o->frozen_price_ = price.value_or(0.0);
    o->extra_ = std::move(extra);
    if (env) o->datetime_ = env->calendar_dt;
    return o;
}

POSITION_DIRECTION Order::position_direction() const {
    return position_direction_of(side_, position_effect_);
}

bool Order::is_active() const {
    return status_ == ORDER_STATUS::ACTIVE || status_ == ORDER_STATUS::PENDING_NEW;
}

bool Order::is_final() const {
    return !is_active();
}

const Value& Order::attr(std::string_view name) const {
    if (const Value* v = extra_.find(name)) return *v;
    throw AttributeError(
        fmt::format("order {} of {} has no attribute '{}'", order_id_, order_book_id_, name));
}

void Order::activate() {
    if (status_ == ORDER_STATUS::PENDING_NEW) status_ = ORDER_STATUS::ACTIVE;
}

void Order::fill(const Trade& trade) {
    fill(trade, trade.last_quantity());
}

void Order::fill(const Trade& trade, double q) {
    double new_filled = filled_quantity_ + q;
    if (new_filled > 0)
        avg_price_ = (avg_price_ * filled_quantity_ + trade.last_price() * q) / new_filled;
    filled_quantity_ = new_filled;
    transaction_cost_ += trade.transaction_cost();
    if (filled_quantity_ >= quantity_) status_ = ORDER_STATUS::FILLED;
}

void Order::mark_rejected(std::string reason) {
    status_ = ORDER_STATUS::REJECTED;
    message_ = std::move(reason);
}

void Order::mark_cancelled(std::string reason) {
    status_ = ORDER_STATUS::CANCELLED;
    message_ = std::move(reason);
}

}  // namespace korvex
