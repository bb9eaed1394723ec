// The repo trade: a host trade carrying the terms of a bond repurchase agreement (term, haircut,
// pledged bond and quantity, due date and the cash due then). Every repo or reverse-repo fill is
// booked as one, built by the factories below; its quantity is the repo's cash amount.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/model/trade.hpp"
#include "korvex/value.hpp"

namespace korvex_mod_bond {

class RepoTrade : public korvex::Trade {
public:
    // Builds the trade at the environment's current trading and calendar time. Recognised
    // named values: repo_period (absent, empty or 0: the repo instrument's term), haircut
    // (default 1), pledged_quantity (default 0) and bond_id (financing only); others are ignored.
    static std::shared_ptr<RepoTrade> from_create(std::optional<std::int64_t> order_id,
                                                  double price, double amount, korvex::SIDE side,
                                                  std::string order_book_id,
                                                  const korvex::Record& named = {});

    // Inter-bank financing against a pledged bond; no order.
    static std::shared_ptr<RepoTrade> create_repo_trade(double price, double amount,
                                                        std::string order_book_id,
                                                        std::optional<std::int64_t> repo_period,
                                                        double haircut, std::string bond_id,
                                                        double pledged_quantity);
    // Inter-bank lending; no order.
    static std::shared_ptr<RepoTrade> create_reverse_repo_trade(
        double price, double amount, std::string order_book_id,
        std::optional<std::int64_t> repo_period);
    // Exchange financing of an order; the term is the repo instrument's. `hairbut` carries the
    // haircut (the name is part of the interface the matchers call).
    static std::shared_ptr<RepoTrade> create_exchange_repo_trade(
        std::optional<std::int64_t> order_id, double price, double amount,
        std::string order_book_id, double hairbut, std::string bond_id, double pledged_quantity);
    // Exchange lending of an order.
    static std::shared_ptr<RepoTrade> create_exchange_reverse_repo_trade(
        std::optional<std::int64_t> order_id, double price, double amount,
        std::string order_book_id);

    // The largest repo amount that `available_cash` pays for, commission included.
    static double calc_max_amount(const std::string& order_book_id, double available_cash);
    // The day a repo of `repo_period` days traded now settles: the trading date plus the term,
    // moved once to the next trading date when it is not one.
    static korvex::Date due_date_of(std::int64_t repo_period);

    // Financing trades go to the short repo position, lending trades to the long one.
    korvex::POSITION_DIRECTION position_direction() const override;

    std::int64_t repo_period() const;
    double haircut() const;
    double pledged_quantity() const;
    // The pledged bond; empty for lending.
    std::string bond_id() const;
    // Issue price of the pledged bond (none when its record has it empty); 0 for lending.
    std::optional<double> coupon_value() const;
    std::int64_t actual_holding_days() const;
    korvex::Date due_settlement_date() const;
    double due_settlement_amount() const;

private:
    friend class korvex::Trade;
    RepoTrade() = default;
};

}  // namespace korvex_mod_bond
