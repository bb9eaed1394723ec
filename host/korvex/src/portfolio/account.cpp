#include "korvex/portfolio/account.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"

namespace korvex {

namespace {
std::string slot_key(const std::string& id, POSITION_DIRECTION d) {
    return id + (d == POSITION_DIRECTION::LONG ? "|L" : "|S");
}
}  // namespace

Account::Account(DEFAULT_ACCOUNT_TYPE type, double starting_cash, Environment* env)
    : type_(type),
      starting_cash_(starting_cash),
      balance_(starting_cash),
      journal_(starting_cash),
      env_(env),
      parts_(env ? &env->cash_parts() : nullptr) {}

double Account::market_value() const {
    double mv = 0;
    for (auto& p : positions_) mv += p->market_value();
    return mv;
}

double Account::total_value() const {
    double equity = 0;
    for (auto& p : positions_) equity += p->equity();
    return balance_ + equity;
}

double Account::transaction_cost() const {
    double c = departed_cost_;
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
    post_trade(trade, p.apply_trade(trade));
}

void Account::post(CASH_CAUSE cause, double amount, const std::string& order_book_id,
                   std::int64_t order_id, std::int64_t trade_id) {
    balance_ += amount;
    journal_.post(
        {env_ ? env_->calendar_dt : DateTime{}, cause, order_book_id, order_id, trade_id, amount});
}

void Account::post_trade(const Trade& trade, double delta) {
    // The position's change is the traded value net of the costs: the value is journaled as
    // such and each cost on its own.
    const double commission = trade.commission(), tax = trade.tax();
    const std::string& id = trade.order_book_id();
    const std::int64_t order_id = trade.order_id().value_or(0), trade_id = trade.trade_id();
    const InstrumentPtr ins =
        env_ && env_->data_source() ? env_->data_proxy().find_instrument(id) : InstrumentPtr();
    const bool bond = ins && ins->type() == INSTRUMENT_TYPE::BOND;
    CASH_CAUSE leg = CASH_CAUSE::OTHER;
    CASH_CAUSE fee = CASH_CAUSE::COMMISSION;
    switch (trade.side()) {
        case SIDE::BUY:
            leg = bond ? CASH_CAUSE::BOND_BOUGHT : CASH_CAUSE::BOUGHT;
            break;
        case SIDE::SELL:
            leg = bond ? CASH_CAUSE::BOND_SOLD : CASH_CAUSE::SOLD;
            break;
        case SIDE::FINANCING:
            leg = CASH_CAUSE::REPO_BORROWED;
            fee = CASH_CAUSE::REPO_COMMISSION;
            break;
        case SIDE::MARGIN:
            leg = CASH_CAUSE::REPO_LENT;
            fee = CASH_CAUSE::REPO_COMMISSION;
            break;
    }
    const double value = delta + commission + tax;
    if (value != 0) post(leg, value, id, order_id, trade_id);
    if (commission != 0) post(fee, -commission, id, order_id, trade_id);
    if (tax != 0) post(CASH_CAUSE::TAX, -tax, id, order_id, trade_id);
}

void Account::post_parts(Position& p, double delta) {
    std::span<const CashPart> parts = parts_ ? parts_->parts() : std::span<const CashPart>();
    if (parts.empty()) {
        if (delta != 0) post(CASH_CAUSE::OTHER, delta, p.order_book_id());
        return;
    }
    double sum = 0;
    for (const CashPart& part : parts) {
        sum += part.amount;
        if (part.amount != 0) post(part.cause, part.amount, p.order_book_id());
    }
    parts_->clear();  // read once: never taken for another position's
    if (sum != delta)
        throw RuntimeError(fmt::format(
            "position {} of account {} moved {} in cash but reported parts adding up to {}",
            p.order_book_id(), name(type_), delta, sum));
}

void Account::before_trading(Date trading_date) {
    // An overdraft left by the last settlement costs its interest for every night since.
    if (balance_ < 0 && last_settled_ != Date{} && trading_date > last_settled_) {
        const double nights = static_cast<double>((trading_date - last_settled_).count());
        post(CASH_CAUSE::OVERDRAFT_INTEREST, balance_ * overdraft_.rate * nights / 365.0, "");
    }
    settling_in_ = settling_out_ = 0;
    for (std::size_t i = 0; i < positions_.size(); ++i) {
        Position& p = *positions_[i];
        // The position's base call starts its record of parts; a call that moves no cash has
        // nothing to journal, whatever parts it noted.
        if (const double delta = p.before_trading(trading_date); delta != 0) post_parts(p, delta);
        const double due = p.cash_due_at_settlement(trading_date);
        (due > 0 ? settling_in_ : settling_out_) += std::abs(due);
    }
}

void Account::settlement(Date trading_date) {
    const double cash_before = balance_;
    double due = 0;
    for (std::size_t i = 0; i < positions_.size(); ++i) {
        Position& p = *positions_[i];
        // The position's base call starts its record of parts; a call that moves no cash has
        // nothing to journal, whatever parts it noted.
        if (const double delta = p.settlement(trading_date); delta != 0) {
            post_parts(p, delta);
            if (delta < 0) due -= delta;
        }
    }
    settling_in_ = settling_out_ = 0;
    last_settled_ = trading_date;
    if (balance_ < 0) {
        const std::string what = fmt::format(
            "account {} is overdrawn on {}: {:.2f} fell due at settlement with {:.2f} in cash, "
            "leaving {:.2f}",
            name(type_), format_date(trading_date), due, cash_before, balance_);
        if (overdraft_.stop)
            throw RuntimeError(what + " (mod.sys_simulation.on_shortfall = \"stop\")");
        user_system_log().warning(
            fmt::format("{}; the overdraft is charged {:g}% a year", what, overdraft_.rate * 100));
    }
    // Positions with nothing left leave the book; the index is rebuilt only when one did.
    auto empty = [](const std::unique_ptr<Position>& p) {
        return p->is_empty() && p->equity() == 0;
    };
    if (std::any_of(positions_.begin(), positions_.end(), empty)) {
        for (auto& p : positions_)
            if (empty(p)) departed_cost_ += p->transaction_cost();
        positions_.erase(std::remove_if(positions_.begin(), positions_.end(), empty),
                         positions_.end());
        index_.clear();
        for (std::size_t i = 0; i < positions_.size(); ++i)
            index_.emplace(slot_key(positions_[i]->order_book_id(), positions_[i]->direction()), i);
    }
}

void Account::check_books(Date day) {
    const double journal = journal_.balance();
    if (!(journal == balance_))
        throw RuntimeError(fmt::format(
            "the books of account {} do not balance on {}: opening balance plus cash journal "
            "{:.6f}, cash {:.6f}",
            name(type_), format_date(day), journal, balance_));
}

void Account::on_order_pending(const Order& order, double frozen_cash) {
    frozen_cash_ += frozen_cash;
    ++open_reservations_;
    if (order.position_effect() != POSITION_EFFECT::OPEN)
        get_position(order.order_book_id(), order.position_direction()).freeze(order.quantity());
}

void Account::on_order_unfrozen(const Order& order, double released_cash) {
    frozen_cash_ -= released_cash;
    // With no order left open nothing is reserved: no rounding left over from the releases.
    if (open_reservations_ > 0) --open_reservations_;
    if (open_reservations_ == 0) frozen_cash_ = 0;
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
                 {"cash", balance_},
                 {"departed_transaction_cost", departed_cost_},
                 {"positions", positions}};
}

void Account::set_state(const State& state) {
    // Everything is read into new positions first: a bad state leaves the account as it was.
    const std::string where = fmt::format("saved state of account {}", name(type_));
    auto fail = [&](const std::string& what) -> ValueError {
        return ValueError(fmt::format("{}: {}", where, what));
    };
    if (!state.is_object()) throw fail("must be a table, got " + state.dump());
    auto number = [&](const char* key) {
        auto it = state.find(key);
        if (it == state.end() || !it->is_number())
            throw fail(fmt::format("'{}' must be a number", key));
        return it->get<double>();
    };
    const double balance = number("cash");
    const double starting =
        state.contains("starting_cash") ? number("starting_cash") : starting_cash_;
    const double departed =
        state.contains("departed_transaction_cost") ? number("departed_transaction_cost") : 0.0;
    auto list = state.find("positions");
    if (list == state.end() || !list->is_array()) throw fail("'positions' must be a list");
    std::vector<std::unique_ptr<Position>> positions;
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const State& ps = (*list)[i];
        auto text = [&](const char* key) {
            if (!ps.is_object() || !ps.contains(key) || !ps[key].is_string())
                throw fail(fmt::format("positions[{}].{} must be a text", i, key));
            return ps[key].get<std::string>();
        };
        const std::string id = text("order_book_id");
        const auto dir = try_parse_enum<POSITION_DIRECTION>(text("direction"));
        if (!dir) throw fail(fmt::format("positions[{}].direction must be LONG or SHORT", i));
        std::unique_ptr<Position> p =
            env_ ? env_->make_position(id, *dir, 0) : std::make_unique<Position>(id, *dir, 0);
        try {
            p->set_state(ps);
        } catch (const nlohmann::json::exception& e) {
            throw fail(fmt::format("positions[{}] ({}): {}", i, id, e.what()));
        }
        if (!index.emplace(slot_key(id, *dir), positions.size()).second)
            throw fail(fmt::format("positions[{}]: {} {} is listed twice", i, id, name(*dir)));
        positions.push_back(std::move(p));
    }
    balance_ = balance;
    journal_.reset(balance_);  // the restored cash opens the books of the resumed run
    frozen_cash_ = 0;
    open_reservations_ = 0;
    settling_in_ = settling_out_ = 0;
    starting_cash_ = starting;
    departed_cost_ = departed;
    positions_ = std::move(positions);
    index_ = std::move(index);
}

}  // namespace korvex
