// The host's position bookkeeping for one instrument and one direction in one account, and the
// strategy-facing proxy over it. Mods derive position models (bonds, repos) from Position; the
// host picks the model by instrument type.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/model/trade.hpp"
#include "korvex/portfolio/cash_journal.hpp"

namespace korvex {

class Environment;
using State = nlohmann::json;

class Position {
public:
    Position(std::string order_book_id, POSITION_DIRECTION direction, double init_quantity = 0);
    virtual ~Position() = default;
    Position(const Position&) = delete;
    Position& operator=(const Position&) = delete;

    const std::string& order_book_id() const { return _order_book_id; }
    POSITION_DIRECTION direction() const { return _direction; }
    double quantity() const { return _today_quantity + _old_quantity; }
    double today_quantity() const { return _today_quantity; }
    double old_quantity() const { return _old_quantity; }
    double avg_price() const { return _avg_price; }
    double last_price() const { return _last_price; }
    double prev_close() const { return _prev_close; }
    double transaction_cost() const { return _transaction_cost; }

    // Quantity that can be closed now: held minus what open closing orders reserve.
    virtual double closable() const;
    // Signed by direction: a short position's market value is negative.
    virtual double market_value() const;
    virtual double equity() const;
    virtual double trading_pnl() const;
    virtual double position_pnl() const;
    double pnl() const { return trading_pnl() + position_pnl(); }
    virtual double margin() const;

    // Each returns the change of the account's cash it causes (positive: cash comes in).
    virtual double apply_trade(const Trade& trade);
    // Defined here so that models calling the base on every position-day inline it. Both
    // start a new record of cash parts; models call them first.
    virtual double before_trading(Date) {
        if (_cash_parts) _cash_parts->clear();
        return 0.0;
    }
    virtual double settlement(Date) {
        if (_cash_parts) _cash_parts->clear();
        _old_quantity += _today_quantity;
        _today_quantity = 0;
        _prev_close = _last_price;
        _trade_cost = 0;
        _day_start_quantity = _old_quantity;
        return 0.0;
    }

    virtual State get_state() const;
    virtual void set_state(const State& state);

    // Cash that the settlement of `day` is already bound to move (a repo falling due), signed as
    // the cash change; the account lets a due return be spent that day and keeps a due
    // repayment from being spent.
    virtual double cash_due_at_settlement(Date) const { return 0.0; }

    // The latest price known for the instrument (the host feeds it from bars).
    void update_last_price(double price);
    // The same, from the bar of `bar_date`: a model can then tell a stale price from today's.
    void update_last_price(double price, Date bar_date);
    // The day of the bar the last price came from; the epoch when it came from a trade.
    Date last_price_date() const { return _last_price_date; }
    // Quantity reserved by open closing orders.
    void freeze(double quantity) { _frozen += quantity; }
    void unfreeze(double quantity) { _frozen -= quantity; }
    // Nothing left to carry: no quantity and, for models that carry more, nothing else.
    virtual bool is_empty() const { return quantity() == 0; }

protected:
    // Notes one part of the current operation's cash change (coupon, repo repaid...) for the
    // account to journal, and returns it: the operation's result is the sum of its parts in
    // the order they were noted.
    double note_cash(CASH_CAUSE cause, double amount);

    Environment* _env;
    std::string _order_book_id;
    POSITION_DIRECTION _direction;
    int _direction_factor;
    double _today_quantity = 0;
    double _old_quantity = 0;
    double _avg_price = 0;
    double _last_price = 0;
    double _prev_close = 0;
    double _transaction_cost = 0;
    double _frozen = 0;
    // Net traded value today: opens add price x quantity, closes subtract it.
    double _trade_cost = 0;
    double _day_start_quantity = 0;
    Date _last_price_date{};

private:
    CashParts* _cash_parts;  // the run's, or null without an environment
};

// Strategy-facing, read-only view of an account's long and short positions in one instrument.
class PositionProxy {
public:
    PositionProxy(std::string order_book_id, const Position* long_pos, const Position* short_pos);
    virtual ~PositionProxy() = default;
    virtual INSTRUMENT_TYPE type() const = 0;
    const std::string& order_book_id() const { return order_book_id_; }

protected:
    std::string order_book_id_;
    const Position* long_;
    const Position* short_;
};

class StockPositionProxy : public PositionProxy {
public:
    using PositionProxy::PositionProxy;
    INSTRUMENT_TYPE type() const override { return INSTRUMENT_TYPE::CS; }
    double quantity() const;
    double closable() const;
    double avg_price() const;
    double last_price() const;
    double market_value() const;
    double equity() const;
    double pnl() const;
    double trading_pnl() const;
    double position_pnl() const;
    const Position* position() const { return long_; }
    const Position* short_position() const { return short_; }
};

using PositionFactory = std::function<std::unique_ptr<Position>(
    const std::string& order_book_id, POSITION_DIRECTION direction, double init_quantity)>;
using PositionProxyFactory = std::function<std::unique_ptr<PositionProxy>(
    const std::string& order_book_id, const Position* long_pos, const Position* short_pos)>;

}  // namespace korvex
