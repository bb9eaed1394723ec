// Repo positions: cash lent (LONG) or borrowed against pledged bonds (SHORT) for a fixed term.
// The quantity is the cash amount; each trade is settled at the first settlement on or after its
// due date, when the agreed amount changes hands and the matured quantity leaves the position.
#pragma once

#include <array>
#include <map>
#include <string>

#include "korvex/portfolio/position.hpp"

namespace korvex_mod_bond {

struct DueSettlement {
    double quantity = 0;  // cash amount of the trades due that day
    double amount = 0;    // what changes hands that day
    // Interest accrues evenly over each trade's calendar days: accrued on day t (a day number)
    // is accrual_rate x t - accrual_offset, within [0, amount - quantity]. Summed over the
    // trades, so one entry holds trades of different start days exactly.
    double accrual_rate = 0;
    double accrual_offset = 0;
    double accrued(double day) const;
    bool operator==(const DueSettlement&) const = default;
};

class RepoPosition : public korvex::Position {
public:
    static constexpr std::array<korvex::INSTRUMENT_TYPE, 1> instrument_types{
        korvex::INSTRUMENT_TYPE::REPO};

    RepoPosition(const std::string& order_book_id, korvex::POSITION_DIRECTION direction,
                 double init_quantity = 0);

    // No market value, margin or profit of its own: the cash amount with the direction's sign.
    double trading_pnl() const override { return 0; }
    double position_pnl() const override { return 0; }
    double margin() const override { return 0; }
    double market_value() const override { return 0; }
    // The cash amount and the interest accrued on it to the current day, with the direction's
    // sign: owed for a financing, earned for a lending.
    double equity() const override { return _direction_factor * (quantity() + accrued_interest()); }
    double accrued_interest() const;

    // Books a RepoTrade; a financing also pledges the trade's bonds on the account's long
    // position in the bond. Checks come first: a refused trade changes nothing.
    double apply_trade(const korvex::Trade& trade) override;
    double settlement(korvex::Date trading_date) override;
    // The amounts due on or before the day: in for a lending, out for a financing.
    double cash_due_at_settlement(korvex::Date day) const override;
    // Kept while a settlement is open.
    bool is_empty() const override;

    // The host's state plus "due_settlements" (due date -> quantity and amount). A state without
    // it restores no open settlements.
    korvex::State get_state() const override;
    void set_state(const korvex::State& state) override;

    const std::map<korvex::Date, DueSettlement>& due_settlement_dict() const {
        return _due_settlement_dict;
    }

private:
    std::map<korvex::Date, DueSettlement> _due_settlement_dict;
};

}  // namespace korvex_mod_bond
