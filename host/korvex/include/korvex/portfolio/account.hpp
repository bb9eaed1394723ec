// An account: cash and the positions of one account type. Positions live in insertion order in
// one contiguous list with a hash index, so the daily loop walks them without lookups. Every
// change of cash is an entry of the account's cash journal; reserving cash for open orders is
// kept apart from it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/model/order.hpp"
#include "korvex/portfolio/cash_journal.hpp"
#include "korvex/portfolio/position.hpp"

namespace korvex {

class Environment;

class Account {
public:
    Account(DEFAULT_ACCOUNT_TYPE type, double starting_cash, Environment* env);

    DEFAULT_ACCOUNT_TYPE type() const { return type_; }
    // Cash free to use now: the balance less what open orders reserve, plus what repos falling
    // due today return, less what they repay tonight (both move at the day's settlement).
    double cash() const { return balance_ - frozen_cash_ + settling_in_ - settling_out_; }
    double settling_in() const { return settling_in_; }
    double settling_out() const { return settling_out_; }
    double frozen_cash() const { return frozen_cash_; }
    // All the account's cash, reserved or not: the opening balance plus the journal.
    double balance() const { return balance_; }
    const CashJournal& journal() const { return journal_; }
    double starting_cash() const { return starting_cash_; }
    double market_value() const;
    double total_value() const;  // balance + the equity of every position
    // Costs of every position's trades, those that have left the book included.
    double transaction_cost() const;

    // The position, created through the environment's position model when absent.
    Position& get_position(const std::string& order_book_id, POSITION_DIRECTION direction);
    Position* find_position(const std::string& order_book_id, POSITION_DIRECTION direction) const;
    const std::vector<std::unique_ptr<Position>>& positions() const { return positions_; }

    // Books a fill: the position's cash change enters the account.
    void apply_trade(const Trade& trade, const Order* order = nullptr);
    void before_trading(Date trading_date);
    void settlement(Date trading_date);
    // Moves cash: the one way the balance changes.
    void post(CASH_CAUSE cause, double amount, const std::string& order_book_id,
              std::int64_t order_id = 0, std::int64_t trade_id = 0);
    // RuntimeError naming the account, the day and both figures when the opening balance plus
    // the journal is not the balance.
    void check_books(Date day);

    // Order reservations: buys freeze cash, closes freeze quantity.
    void on_order_pending(const Order& order, double frozen_cash);
    void on_order_unfrozen(const Order& order, double released_cash);
    void release_frozen_cash(double cash) { frozen_cash_ -= cash; }

    State get_state() const;
    void set_state(const State& state);

    // What settlement could not pay is borrowed overnight: charged `rate` a year (actual/365)
    // each morning it is still owed, or, with `stop`, ends the run.
    struct OverdraftTerms {
        double rate = 0.1825;
        bool stop = false;
    };
    void set_overdraft_terms(OverdraftTerms terms) { overdraft_ = terms; }
    // The day of the last settlement, from which an overdraft's nights count (a resumed run's
    // saved day).
    void set_last_settled(Date day) { last_settled_ = day; }

private:
    DEFAULT_ACCOUNT_TYPE type_;
    double starting_cash_;
    // Journals a position's cash change from one call, by the parts it reports.
    void post_parts(Position& p, double delta);
    void post_trade(const Trade& trade, double delta);

    double balance_;
    double frozen_cash_ = 0;
    double settling_in_ = 0, settling_out_ = 0;  // repos falling due today
    OverdraftTerms overdraft_;
    Date last_settled_{};
    double departed_cost_ = 0;           // transaction costs of positions that left the book
    std::size_t open_reservations_ = 0;  // orders between on_order_pending and on_order_unfrozen
    CashJournal journal_;
    Environment* env_;
    CashParts* parts_;  // where the positions note their cash parts (the run's)
    std::vector<std::unique_ptr<Position>> positions_;
    std::unordered_map<std::string, std::size_t> index_;  // "id|L" / "id|S" -> slot
};

}  // namespace korvex
