// The abstract interfaces through which mods plug components into the host: the mod object
// itself, data stores, order validators, cost deciders, matchers and brokers.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/config.hpp"
#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/lazy_sequence.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/model/order.hpp"
#include "korvex/model/trade.hpp"
#include "korvex/tick.hpp"

namespace korvex {

class Environment;
class Account;

class AbstractMod {
public:
    virtual ~AbstractMod() = default;
    virtual void start_up(Environment& env, const ConfigNode& mod_config) = 0;
    // `exception` is the error that ended the run, if any.
    virtual void tear_down(int code, std::exception_ptr exception = nullptr) = 0;
};

using InstrumentSequence = LazySequence<InstrumentPtr>;

class AbstractInstrumentStore {
public:
    virtual ~AbstractInstrumentStore() = default;
    virtual INSTRUMENT_TYPE instrument_type() const = 0;
    virtual const std::vector<std::string>& all_id_and_syms() const = 0;
    // nullopt: every instrument of the store.
    virtual InstrumentSequence get_instruments(
        std::optional<std::vector<std::string>> id_or_syms) const = 0;
};

class AbstractDayBarStore {
public:
    virtual ~AbstractDayBarStore() = default;
    // The whole daily history of one instrument, ascending by stamp; empty when none.
    virtual Bars get_bars(const std::string& order_book_id) = 0;
};

class AbstractMinBarStore {
public:
    virtual ~AbstractMinBarStore() = default;
    virtual Bars get_bars(const Instrument& instrument) = 0;
};

class AbstractTickStore {
public:
    virtual ~AbstractTickStore() = default;
    // The instrument's quote snapshots of one trading day, ascending, laid out by tick_layout();
    // empty when it has none that day.
    virtual Bars get_ticks(const Instrument& instrument, Date trading_date) = 0;
};

class AbstractCalendarStore {
public:
    virtual ~AbstractCalendarStore() = default;
    // Trading days, ascending, as date-times at midnight.
    virtual std::vector<DateTime> get_trading_calendar() = 0;
};

class AbstractFrontendValidator {
public:
    virtual ~AbstractFrontendValidator() = default;
    // False refuses the order; the validator writes one warning to user_system_log saying why.
    virtual bool can_submit_order(const Order& order, Account* account) = 0;
    virtual bool can_cancel_order(const Order& order, Account* account) = 0;
};

class AbstractTransactionCostDecider {
public:
    virtual ~AbstractTransactionCostDecider() = default;
    virtual double get_trade_tax(const Trade& trade) = 0;
    virtual double get_trade_commission(const Trade& trade) = 0;
    virtual double get_order_transaction_cost(const Order& order) = 0;
};

// What a matcher did with one order on one bar: the fills, or why nothing (more) was filled.
struct MatchResult {
    std::vector<TradePtr> trades;
    // How much of the order each trade fills, when that is not the trade's quantity (a repo's
    // trade quantity is its cash amount, the order's is the nominal amount). Empty: the trades'.
    std::vector<double> order_fills;
    std::optional<std::string> reject_reason;  // set: the rest of the order is rejected
};

class AbstractMatcher {
public:
    virtual ~AbstractMatcher() = default;
    // Match one open order at the current time of the environment.
    virtual MatchResult match(Account& account, Order& order) = 0;
};

class AbstractBroker {
public:
    virtual ~AbstractBroker() = default;
    virtual void submit_order(const OrderPtr& order) = 0;
    virtual void cancel_order(const OrderPtr& order) = 0;
    virtual std::vector<OrderPtr> get_open_orders(
        const std::optional<std::string>& order_book_id = std::nullopt) const = 0;
    // Called by the loop: at the start of a day, after each bar the strategy saw, at the close.
    virtual void before_trading() {}
    virtual void on_bar() {}
    // Tick runs: a new snapshot of one instrument, before the strategy sees it.
    virtual void on_tick(const TickObject&) {}
    virtual void after_trading() {}
    // Cash the broker reserves for an order at submission; orders are refused when it is more
    // than the account's free cash.
    virtual double cash_to_reserve(const Order&) const { return 0.0; }
    // What the account's open sells and financings are expected to bring in (net of their
    // estimated costs): they pay for a buy placed after them, which fills after them.
    virtual double pending_proceeds(const Account&) const { return 0.0; }
    // Orders still open at a saved close (next_bar orders of a daily run), each with the cash
    // it holds reserved; a resumed run hands them back before its first day.
    virtual State save_open_orders() const { return State::array(); }
    virtual void restore_open_order(const OrderPtr& order, double reserved_cash);
};

}  // namespace korvex
