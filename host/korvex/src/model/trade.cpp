#include "korvex/model/trade.hpp"

#include <fmt/format.h>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/model/order.hpp"

namespace korvex {

void Trade::init(std::optional<std::int64_t> order_id, double price, double amount, SIDE side,
                 POSITION_EFFECT position_effect, std::string order_book_id, Record named) {
    Environment* env = Environment::instance_ptr();
    trade_id_ = env ? env->next_trade_id() : 0;
    if (env) trading_datetime_ = env->calendar_dt;
    order_id_ = order_id;
    last_price_ = price;
    last_quantity_ = amount;
    side_ = side;
    position_effect_ = position_effect;
    order_book_id_ = std::move(order_book_id);
    // The host's own named values set fields; every other one stays readable by name.
    if (const Value* c = named.find("commission"); c && c->is_number())
        commission_ = c->as_double();
    if (const Value* t = named.find("tax"); t && t->is_number()) tax_ = t->as_double();
    named_ = std::move(named);
}

POSITION_DIRECTION Trade::position_direction() const {
    return position_direction_of(side_, position_effect_);
}

const Value& Trade::attr(std::string_view name) const {
    if (const Value* v = named_.find(name)) return *v;
    throw AttributeError(fmt::format("{} {} of {} has no attribute '{}'", type_name(*this),
                                     trade_id_, order_book_id_, name));
}

}  // namespace korvex
