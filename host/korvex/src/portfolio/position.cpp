#include "korvex/portfolio/position.hpp"

#include <fmt/format.h>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"

namespace korvex {

Position::Position(std::string order_book_id, POSITION_DIRECTION direction, double init_quantity)
    : _env(Environment::instance_ptr()),
      _order_book_id(std::move(order_book_id)),
      _direction(direction),
      _direction_factor(direction_factor(direction)),
      _old_quantity(init_quantity),
      _day_start_quantity(init_quantity),
      _cash_parts(_env ? &_env->cash_parts() : nullptr) {}

double Position::note_cash(CASH_CAUSE cause, double amount) {
    if (_cash_parts) _cash_parts->note(cause, amount, _order_book_id);
    return amount;
}

double Position::closable() const {
    return quantity() - _frozen;
}

double Position::market_value() const {
    return _direction_factor * _last_price * quantity();
}

double Position::equity() const {
    return market_value();
}

double Position::position_pnl() const {
    // Yesterday's holding still held, marked from yesterday's close.
    double held = std::min(_day_start_quantity, _old_quantity);
    return _direction_factor * (_last_price - _prev_close) * held;
}

double Position::trading_pnl() const {
    double total = _direction_factor *
                   (_last_price * quantity() - _prev_close * _day_start_quantity - _trade_cost);
    return total - position_pnl();
}

double Position::margin() const {
    return 0.0;
}

double Position::apply_trade(const Trade& trade) {
    const double q = trade.last_quantity();
    const double p = trade.last_price();
    const double cost = trade.transaction_cost();
    _transaction_cost += cost;
    // A fill is the latest market price.
    if (p > 0 && to_date(trade.trading_datetime()) >= _last_price_date) {
        _last_price = p;
        _last_price_date = to_date(trade.trading_datetime());
    }
    if (_prev_close == 0) _prev_close = p;
    if (trade.position_effect() == POSITION_EFFECT::OPEN) {
        const double total = quantity() + q;
        if (total != 0) _avg_price = (_avg_price * quantity() + p * q) / total;
        _today_quantity += q;
        _trade_cost += p * q;
        return -_direction_factor * p * q - cost;
    }
    // Closing consumes yesterday's holding first.
    double from_old = std::min(q, _old_quantity);
    _old_quantity -= from_old;
    _today_quantity -= q - from_old;
    _trade_cost -= p * q;
    if (quantity() == 0) _avg_price = 0;
    return _direction_factor * p * q - cost;
}

State Position::get_state() const {
    return State{{"order_book_id", _order_book_id},   {"direction", std::string(name(_direction))},
                 {"today_quantity", _today_quantity}, {"old_quantity", _old_quantity},
                 {"avg_price", _avg_price},           {"last_price", _last_price},
                 {"prev_close", _prev_close},         {"transaction_cost", _transaction_cost},
                 {"trade_cost", _trade_cost},         {"day_start_quantity", _day_start_quantity}};
}

void Position::set_state(const State& state) {
    // Read and checked before anything changes; a missing entry restarts at 0.
    if (!state.is_object())
        throw ValueError(fmt::format("saved state of position {} must be a table, got {}",
                                     _order_book_id, state.dump()));
    auto number = [&](const char* key, double fallback) {
        auto it = state.find(key);
        if (it == state.end()) return fallback;
        if (!it->is_number())
            throw ValueError(fmt::format("saved state of position {}: '{}' must be a number, got {}",
                                         _order_book_id, key, it->dump()));
        return it->get<double>();
    };
    const double today = number("today_quantity", 0.0), old = number("old_quantity", 0.0);
    const double avg = number("avg_price", 0.0), last = number("last_price", 0.0);
    const double prev = number("prev_close", 0.0), cost = number("transaction_cost", 0.0);
    const double traded = number("trade_cost", 0.0), start = number("day_start_quantity", old);
    _today_quantity = today;
    _old_quantity = old;
    _avg_price = avg;
    _last_price = last;
    _prev_close = prev;
    _transaction_cost = cost;
    _trade_cost = traded;
    _day_start_quantity = start;
}

void Position::update_last_price(double price, Date bar_date) {
    // An older bar than what the price already reflects (a later trade) changes nothing.
    if (price == price && bar_date >= _last_price_date) {
        _last_price = price;
        _last_price_date = bar_date;
    }
}

void Position::update_last_price(double price) {
    if (price == price) _last_price = price;  // a missing (NaN) price keeps the last known one
}

PositionProxy::PositionProxy(std::string order_book_id, const Position* long_pos,
                             const Position* short_pos)
    : order_book_id_(std::move(order_book_id)), long_(long_pos), short_(short_pos) {}

namespace {
double sum(const Position* a, const Position* b, double (Position::*f)() const) {
    return (a ? (a->*f)() : 0.0) + (b ? (b->*f)() : 0.0);
}
}  // namespace

double StockPositionProxy::quantity() const {
    return long_ ? long_->quantity() : 0.0;
}
double StockPositionProxy::closable() const {
    return long_ ? long_->closable() : 0.0;
}
double StockPositionProxy::avg_price() const {
    return long_ ? long_->avg_price() : 0.0;
}
double StockPositionProxy::last_price() const {
    return long_ ? long_->last_price() : (short_ ? short_->last_price() : 0.0);
}
double StockPositionProxy::market_value() const {
    return sum(long_, short_, &Position::market_value);
}
double StockPositionProxy::equity() const {
    return sum(long_, short_, &Position::equity);
}
double StockPositionProxy::pnl() const {
    return sum(long_, short_, &Position::pnl);
}
double StockPositionProxy::trading_pnl() const {
    return sum(long_, short_, &Position::trading_pnl);
}
double StockPositionProxy::position_pnl() const {
    return sum(long_, short_, &Position::position_pnl);
}

}  // namespace korvex
