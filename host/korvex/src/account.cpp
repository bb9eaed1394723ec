#include "korvex/portfolio/account.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"

namespace korvex {

namespace {
std::string slot_key(const std::string& id, POSITION_DIRECTION d) {
    return id + (d == POSITION_DIRECTION::LONG ? "|L" : "|S");
}
}  // namespace

Account::Account(DEFAULT_ACCOUNT_TYPE type, double starting_cash, Environment* env)
    : type_(type), starting_cash_(starting_cash), cash_(starting_cash), env_(env) {}

double Account::market_value() const {
    double mv = 0;
    for (auto& p : positions_) mv += p->market_value();
    return mv;
}

double Account::total_value() const {
    double equity = 0;
    for (auto& p : positions_) equity += p->equity();
    return cash_ + frozen_cash_ + equity;
}

double Account::transaction_cost() const {
    double c = 0;
    for (auto& p : positions_) c += p->transaction_cost();
    return c;
}

Position* Account::find_position(const std::string& order_book_id,
                                 POSITION_DIRECTION direction) const {
    auto it = index_.find(slot_key(order_book_id, direction));
    return it == index_.end() ? nullptr : positions_[it->second].get();
}

Position& Account::get_position(const std::string& order_book_id, POSITION_DIRECTION direction) {
    if (Position* p = find_position(order_book_id, direction)) return *p;
    std::unique_ptr<Position> p = env_ ? env_->make_position(order_book_id, direction, 0)
                                       : std::make_unique<Position>(order_book_id, direction, 0);
    index_.emplace(slot_key(order_book_id, direction), positions_.size());
    positions_.push_back(std::move(p));
    return *positions_.back();
}

void Account::apply_trade(const Trade& trade, const Order* order) {
    Position& p = get_position(trade.order_book_id(), trade.position_direction());
    if (order && order->position_effect() != POSITION_EFFECT::OPEN)
        p.unfreeze(std::min(trade.last_quantity(), order->unfilled_quantity()));
    cash_ += p.apply_trade(trade);
}

void Account::before_trading(Date trading_date) {
    for (std::size_t i = 0; i < positions_.size(); ++i)
        cash_ += positions_[i]->before_trading(trading_date);
}

void Account::settlement(Date trading_date) {
    for (std::size_t i = 0; i < positions_.size(); ++i)
        cash_ += positions_[i]->settlement(trading_date);
    // Positions with nothing left leave the book; the index is rebuilt only when one did.
    auto empty = [](const std::unique_ptr<Position>& p) {
        return p->is_empty() && p->equity() == 0;
    };
    if (std::any_of(positions_.begin(), positions_.end(), empty)) {
        positions_.erase(std::remove_if(positions_.begin(), positions_.end(), empty),
                         positions_.end());
        index_.clear();
        for (std::size_t i = 0; i < positions_.size(); ++i)
            index_.emplace(slot_key(positions_[i]->order_book_id(), positions_[i]->direction()), i);
    }
}

void Account::on_order_pending(const Order& order, double frozen_cash) {
    cash_ -= frozen_cash;
    frozen_cash_ += frozen_cash;
    if (order.position_effect() != POSITION_EFFECT::OPEN)
        get_position(order.order_book_id(), order.position_direction()).freeze(order.quantity());
}

void Account::on_order_unfrozen(const Order& order, double released_cash) {
    cash_ += released_cash;
    frozen_cash_ -= released_cash;
    if (order.position_effect() != POSITION_EFFECT::OPEN) {
        if (Position* p = find_position(order.order_book_id(), order.position_direction()))
            p->unfreeze(order.unfilled_quantity());
    }
}

State Account::get_state() const {
    State positions = State::array();
    for (auto& p : positions_) positions.push_back(p->get_state());
    return State{{"type", std::string(name(type_))},
                 {"starting_cash", starting_cash_},
                 {"cash", cash_},
                 {"positions", positions}};
}

void Account::set_state(const State& state) {
    cash_ = state.at("cash").get<double>();
    frozen_cash_ = 0;
    starting_cash_ = state.value("starting_cash", starting_cash_);
    positions_.clear();
    index_.clear();
    for (auto& ps : state.at("positions")) {
        auto id = ps.at("order_book_id").get<std::string>();
        auto dir = parse_enum<POSITION_DIRECTION>(ps.at("direction").get<std::string>());
        get_position(id, dir).set_state(ps);
    }
}

}  // namespace korvex
