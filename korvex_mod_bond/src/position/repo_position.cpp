#include "korvex_mod_bond/position/repo_position.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "saved_state.hpp"

namespace korvex_mod_bond {

using korvex::POSITION_DIRECTION;

RepoPosition::RepoPosition(const std::string& order_book_id, POSITION_DIRECTION direction,
                           double init_quantity)
    : korvex::Position(order_book_id, direction, init_quantity) {}

double RepoPosition::apply_trade(const korvex::Trade& trade) {
    const auto* repo = dynamic_cast<const RepoTrade*>(&trade);
    if (!repo)
        throw korvex::TypeError(
            fmt::format("unsupported trade type: {}", korvex::type_name(trade)));
    const double quantity = repo->last_quantity();
    const korvex::Date due = repo->due_settlement_date();
    const double amount = repo->due_settlement_amount();

    // A financing pledges bonds: find and check the bond position before booking anything, so
    // a refusal leaves no cash in the position that never reached the account.
    BondPosition* bond_position = nullptr;
    if (_direction == POSITION_DIRECTION::SHORT) {
        korvex::Position& found =
            _env->portfolio().get_position(repo->bond_id(), POSITION_DIRECTION::LONG);
        bond_position = dynamic_cast<BondPosition*>(&found);
        if (!bond_position)
            throw korvex::TypeError(
                fmt::format("unsupported bond position type: {}", korvex::type_name(found)));
    }

    _today_quantity += quantity;
    DueSettlement& entry = _due_settlement_dict[due];
    entry.quantity += quantity;
    entry.amount += amount;
    if (const auto days = repo->actual_holding_days(); days > 0) {
        const double rate = (amount - quantity) / static_cast<double>(days);
        const double start = static_cast<double>(due.time_since_epoch().count() - days);
        entry.accrual_rate += rate;
        entry.accrual_offset += rate * start;
    }
    _transaction_cost += trade.transaction_cost();
    if (bond_position) bond_position->apply_trade(trade);
    return -(quantity * _direction_factor) - trade.transaction_cost();
}

double RepoPosition::settlement(korvex::Date trading_date) {
    korvex::Position::settlement(trading_date);
    double delta_cash = 0;
    // The host's settlement has moved today's quantity into the old one, so a trade booked and
    // due today leaves the position today as well.
    auto end = _due_settlement_dict.upper_bound(trading_date);
    if (end == _due_settlement_dict.begin()) return 0.0;
    for (auto it = _due_settlement_dict.begin(); it != end; ++it) delta_cash += it->second.amount;
    _due_settlement_dict.erase(_due_settlement_dict.begin(), end);
    // The quantity is what the open entries hold: summed afresh, so a settled position is
    // empty, not left with the rounding of the subtractions.
    _old_quantity = 0;
    for (const auto& [due, entry] : _due_settlement_dict) _old_quantity += entry.quantity;
    return note_cash(_direction == POSITION_DIRECTION::SHORT ? korvex::CASH_CAUSE::REPO_REPAID
                                                             : korvex::CASH_CAUSE::REPO_RETURNED,
                     delta_cash * _direction_factor);
}

double DueSettlement::accrued(double day) const {
    return std::clamp(accrual_rate * day - accrual_offset, 0.0, std::max(0.0, amount - quantity));
}

double RepoPosition::accrued_interest() const {
    if (!_env || _due_settlement_dict.empty()) return 0.0;
    const auto today =
        static_cast<double>(korvex::to_date(_env->trading_dt).time_since_epoch().count());
    double accrued = 0;
    for (const auto& [due, entry] : _due_settlement_dict) accrued += entry.accrued(today);
    return accrued;
}

double RepoPosition::cash_due_at_settlement(korvex::Date day) const {
    double due = 0;
    const auto end = _due_settlement_dict.upper_bound(day);
    for (auto it = _due_settlement_dict.begin(); it != end; ++it) due += it->second.amount;
    return due * _direction_factor;
}

bool RepoPosition::is_empty() const {
    return quantity() == 0 && _due_settlement_dict.empty();
}

korvex::State RepoPosition::get_state() const {
    korvex::State state = korvex::Position::get_state();
    state[DUE_SETTLEMENTS_KEY] = due_settlements_to_state(_due_settlement_dict);
    return state;
}

void RepoPosition::set_state(const korvex::State& state) {
    std::map<korvex::Date, DueSettlement> entries;
    const auto it = state.find(DUE_SETTLEMENTS_KEY);
    if (it != state.end())
        entries = due_settlements_from_state(
            *it, fmt::format("saved state of repo position {}", _order_book_id));
    korvex::Position::set_state(state);
    _due_settlement_dict = std::move(entries);
    if (it == state.end() && quantity() != 0)
        korvex::system_log().warning(fmt::format(
            "saved state of repo position {} ({}) holds {} but no due settlements: it was saved "
            "before they were, and its settlement is lost",
            _order_book_id, korvex::name(_direction), quantity()));
}

}  // namespace korvex_mod_bond
