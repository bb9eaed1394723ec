// Leveraged carry: hold bonds, pledge them in repos and put the borrowed cash into more bonds,
// keeping bond market value under `leverage` times equity. On a repo's due date its bonds can be
// pledged again and the new repo's cash repays it that night; what the roll cannot repay is raised
// by selling unpledged bonds.
//   exchange_carry: exchange bonds (".SH"), one-day Shanghai repo 204001.SH rolled every day.
//   ib_carry: inter-bank bonds, R007 financing rolled when it falls due.
// [strategy] bonds, leverage, haircut, cash_buffer, min_days.
#include <algorithm>
#include <cmath>

#include "common.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/utils.hpp"

namespace korvex_examples {
namespace {

using korvex::DEFAULT_ACCOUNT_TYPE;
using korvex::POSITION_DIRECTION;

class Carry : public korvex::Strategy {
public:
    Carry(const korvex::ConfigNode& c, bool exchange)
        : exchange_(exchange),
          bonds_wanted_(static_cast<int>(config_number(c, "bonds", 4))),
          leverage_(config_number(c, "leverage", 1.4)),
          haircut_(config_number(c, "haircut", 0.9)),
          cash_buffer_(config_number(c, "cash_buffer", 0.02)),
          min_days_(static_cast<int>(config_number(c, "min_days", 365))) {}

    void handle_bar(korvex::StrategyContext& ctx) override {
        auto& account = ctx.portfolio().account(exchange_ ? DEFAULT_ACCOUNT_TYPE::STOCK
                                                          : DEFAULT_ACCOUNT_TYPE::BOND);
        if (bonds_.empty()) {
            for (auto& b : listed_bonds(ctx, exchange_ ? ".SH" : ".IB", min_days_)) {
                bonds_.push_back(b);
                if (bonds_.size() == static_cast<std::size_t>(bonds_wanted_)) break;
            }
            double budget =
                account.cash() * (1 - cash_buffer_) / std::max<std::size_t>(1, bonds_.size());
            for (auto& b : bonds_)
                if (priced_today(ctx, b->order_book_id()))
                    korvex_mod_bond::api::order_bond_value(ctx, b->order_book_id(), budget);
            return;
        }
        drop_matured(ctx);
        if (bonds_.empty()) return;
        const double equity = account.total_value();
        const double borrowed = repo_balance(account);
        double bond_value = 0;
        for (auto& b : bonds_) bond_value += held(ctx, b->order_book_id()) * price(ctx, b->order_book_id());
        // Roll the financing when nothing is outstanding or it falls due today: the maturing
        // repo's bonds are pledged again and the new cash repays it tonight.
        double new_borrowing = 0;
        if (borrowed == 0 || due_today(ctx)) {
            double want = std::max(0.0, (leverage_ - 1) * equity) / haircut_;
            for (auto& b : bonds_) {
                if (want <= 0) break;
                const std::string& id = b->order_book_id();
                // A pledge must outlive the repo: leave bonds about to be repaid alone.
                if (b->de_listed_date() <= ctx.now() + std::chrono::days(14)) continue;
                double nominal = std::min(want, pledgeable_of(ctx, id) * *b->issue_price());
                if (exchange_) {
                    nominal = std::floor(nominal / 1000) * 1000;
                    if (nominal < 100000) continue;
                    if (!korvex_mod_bond::api::exchange_repo_financing(ctx, "204001.SH", nominal,
                                                                       id, haircut_))
                        continue;
                } else {
                    nominal = std::floor(nominal / 100) * 100;
                    if (nominal <= 0) continue;
                    auto t = korvex_mod_bond::api::ib_repo(ctx, 7, nominal, id, haircut_);
                    if (!t) continue;
                    due_ = t->due_settlement_date();
                }
                new_borrowing += nominal * haircut_;
                want -= nominal;
            }
        }
        // Free cash already nets tonight's repayment; an exchange repo brings its cash at the
        // close, when it fills.
        const double free = account.cash() + (exchange_ ? new_borrowing : 0.0);
        if (free < 0) {
            raise_cash(ctx, -free * 1.01);
            return;
        }
        // Invest the rest, up to the leverage limit.
        const double spare = free - cash_buffer_ * equity;
        const double room = leverage_ * equity - bond_value;
        if (spare > 0 && room > 0) {
            double each = std::min(spare, room) / static_cast<double>(bonds_.size());
            // Inter-bank bonds trade in at least 1000 units, exchange bonds in lots of 10.
            const double least = exchange_ ? 10 : 1000;
            for (auto& b : bonds_)
                if (each > least * price(ctx, b->order_book_id()) &&
                    priced_today(ctx, b->order_book_id()))
                    korvex_mod_bond::api::order_bond_value(ctx, b->order_book_id(), each);
        }
        if (exchange_ && new_borrowing > 0)
            due_ = korvex::to_date(ctx.now()) + std::chrono::days(1);
    }

private:
    static double price(korvex::StrategyContext& ctx, const std::string& id) {
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG); p && p->last_price() > 0)
                return p->last_price();
        return 100.0;
    }
    static double pledgeable_of(korvex::StrategyContext& ctx, const std::string& id) {
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG))
                return std::max(0.0, korvex_mod_bond::pledgeable_quantity(
                                         p, korvex::to_date(ctx.now())));
        return 0.0;
    }
    // Sells unpledged bonds worth about `amount`, which fill at the close, before settlement.
    void raise_cash(korvex::StrategyContext& ctx, double amount) {
        for (auto& b : bonds_) {
            if (amount <= 0) break;
            const std::string& id = b->order_book_id();
            double closable = 0;
            for (auto& [t, a] : ctx.portfolio().accounts())
                if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG))
                    closable = std::max(0.0, p->closable());
            const double lot = exchange_ ? 10 : 1000;
            const double units =
                std::min(closable, std::ceil(amount / price(ctx, id) / lot) * lot);
            if (units <= 0 || !priced_today(ctx, id)) continue;
            if (korvex_mod_bond::api::order_bond(ctx, id, -units))
                amount -= units * price(ctx, id);
        }
    }
    double repo_balance(korvex::Account& account) const {
        double q = 0;
        for (auto& p : account.positions())
            if (p->direction() == POSITION_DIRECTION::SHORT) q += p->quantity();
        return q;
    }
    bool due_today(korvex::StrategyContext& ctx) const {
        return due_ && *due_ <= korvex::to_date(ctx.now());
    }
    void drop_matured(korvex::StrategyContext& ctx) {
        std::erase_if(bonds_, [&](auto& b) {
            return b->de_listed_date() < ctx.now() + std::chrono::days(30) &&
                   held(ctx, b->order_book_id()) == 0;
        });
    }

    bool exchange_;
    int bonds_wanted_;
    double leverage_, haircut_, cash_buffer_;
    int min_days_;
    std::vector<std::shared_ptr<const korvex_mod_bond::BondInstrument>> bonds_;
    std::optional<korvex::Date> due_;
};

const bool registered = [] {
    korvex::register_strategy(
        "exchange_carry",
        "buys exchange bonds and pledges them in the one-day Shanghai repo, rolled daily",
        [](const korvex::ConfigNode& c) { return std::make_unique<Carry>(c, true); });
    korvex::register_strategy(
        "ib_carry", "buys inter-bank bonds and finances them with R007, rolled when due",
        [](const korvex::ConfigNode& c) { return std::make_unique<Carry>(c, false); });
    return true;
}();

}  // namespace
}  // namespace korvex_examples
