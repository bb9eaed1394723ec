// Transaction costs of bonds and repos. Bonds pay a proportional commission, capped for exchange
// bonds and with a floor for inter-bank bonds; repos pay the repo commission schedule. No tax.
#pragma once

#include <string>

#include "korvex/interface.hpp"

namespace korvex_mod_bond {

class BondTransactionDecider : public korvex::AbstractTransactionCostDecider {
public:
    BondTransactionDecider(double ib_commission_rate, double ib_min_commission,
                           double exchange_commission_rate, double exchange_max_commission);

    double get_trade_tax(const korvex::Trade& trade) override;
    double get_trade_commission(const korvex::Trade& trade) override;
    // Commission at the order's frozen price.
    double get_order_transaction_cost(const korvex::Order& order) override;

    double _get_commission(double price, double quantity, const std::string& order_book_id) const;

    const double _ib_commission_rate;
    const double _ib_min_commission;
    const double _exchange_commission_rate;
    const double _exchange_max_commission;
};

class RepoTransactionDecider : public korvex::AbstractTransactionCostDecider {
public:
    double get_trade_tax(const korvex::Trade& trade) override;
    double get_trade_commission(const korvex::Trade& trade) override;
    // Commission of the cash amount: the order's nominal quantity times its haircut.
    double get_order_transaction_cost(const korvex::Order& order) override;
};

}  // namespace korvex_mod_bond
