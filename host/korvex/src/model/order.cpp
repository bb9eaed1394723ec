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

namespace {

State value_state(const Value& v) {
    if (v.is_none()) return nullptr;
    if (v.is_bool()) return v.as_bool();
    if (v.is_int()) return v.as_int();
    if (v.is_float()) return v.as_double();
    if (v.is_string()) return v.as_string();
    return State{{"datetime", format_datetime(v.as_datetime())}};
}

Value state_value(const State& s) {
    if (s.is_null()) return Value();
    if (s.is_boolean()) return s.get<bool>();
    if (s.is_number_integer()) return s.get<std::int64_t>();
    if (s.is_number()) return s.get<double>();
    if (s.is_string()) return s.get<std::string>();
    if (s.is_object() && s.size() == 1 && s.contains("datetime") && s["datetime"].is_string())
        return parse_datetime(s["datetime"].get<std::string>());
    throw ValueError("must be null, a boolean, a number, a text or {\"datetime\": text}, got " +
                     s.dump());
}

}  // namespace

State Order::get_state() const {
    State extra = State::object();
    for (const auto& [name, value] : extra_) extra[name] = value_state(value);
    return State{{"order_id", order_id_},
                 {"order_book_id", order_book_id_},
                 {"quantity", quantity_},
                 {"filled_quantity", filled_quantity_},
                 {"side", std::string(name(side_))},
                 {"position_effect", std::string(name(position_effect_))},
                 {"price", price_ ? State(*price_) : State(nullptr)},
                 {"frozen_price", frozen_price_},
                 {"avg_price", avg_price_},
                 {"transaction_cost", transaction_cost_},
                 {"estimated_transaction_cost", estimated_transaction_cost_},
                 {"datetime", format_datetime(datetime_)},
                 {"extra", extra}};
}

std::shared_ptr<Order> Order::from_state(const State& state) {
    if (!state.is_object()) throw ValueError("an order must be a table, got " + state.dump());
    auto entry = [&](const char* key) -> const State& {
        if (!state.contains(key)) throw ValueError(fmt::format("'{}' is missing", key));
        return state[key];
    };
    auto number = [&](const char* key) {
        const State& v = entry(key);
        if (!v.is_number()) throw ValueError(fmt::format("'{}' must be a number", key));
        return v.get<double>();
    };
    auto text = [&](const char* key) {
        const State& v = entry(key);
        if (!v.is_string()) throw ValueError(fmt::format("'{}' must be a text", key));
        return v.get<std::string>();
    };
    std::shared_ptr<Order> o(new Order());
    const State& id = entry("order_id");
    if (!id.is_number_integer() || id.get<std::int64_t>() <= 0)
        throw ValueError("'order_id' must be a whole number above 0");
    o->order_id_ = id.get<std::int64_t>();
    o->order_book_id_ = text("order_book_id");
    o->quantity_ = number("quantity");
    o->filled_quantity_ = number("filled_quantity");
    if (!(o->quantity_ > 0 && o->filled_quantity_ >= 0 && o->filled_quantity_ < o->quantity_))
        throw ValueError(fmt::format("'quantity' {} and 'filled_quantity' {} are not an open order",
                                     o->quantity_, o->filled_quantity_));
    const auto side = try_parse_enum<SIDE>(text("side"));
    if (!side) throw ValueError(fmt::format("'side' {} is not a side", entry("side").dump()));
    o->side_ = *side;
    const auto effect = try_parse_enum<POSITION_EFFECT>(text("position_effect"));
    if (!effect)
        throw ValueError(fmt::format("'position_effect' {} is not a position effect",
                                     entry("position_effect").dump()));
    o->position_effect_ = *effect;
    if (!entry("price").is_null()) o->price_ = number("price");
    o->frozen_price_ = number("frozen_price");
    o->avg_price_ = number("avg_price");
    o->transaction_cost_ = number("transaction_cost");
    o->estimated_transaction_cost_ = number("estimated_transaction_cost");
    try {
        o->datetime_ = parse_datetime(text("datetime"));
    } catch (const ValueError& e) {
        throw ValueError(fmt::format("'datetime': {}", e.what()));
    }
    const State& extra = entry("extra");
    if (!extra.is_object()) throw ValueError("'extra' must be a table");
    for (const auto& [key, value] : extra.items()) {
        try {
            o->extra_.set(key, state_value(value));
        } catch (const ValueError& e) {
            throw ValueError(fmt::format("'extra.{}' {}", key, e.what()));
        }
    }
    o->status_ = ORDER_STATUS::ACTIVE;
    return o;
}

}  // namespace korvex
