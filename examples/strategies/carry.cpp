// Leveraged carry: hold bonds, pledge them in repos and put the borrowed cash into more bonds,
// keeping bond market value under `leverage` times equity. A pledge lasts until the repo's due
// date is settled, so each repo pledges at most half of the holding and the halves take turns:
// on a due date the other half is still free to pledge.
//   exchange_carry: exchange bonds (".SH"), one-day Shanghai repo 204001.SH rolled every day.
//   ib_carry: inter-bank bonds, R007 financing rolled when it falls due.
// [strategy] bonds, leverage, haircut, cash_buffer, min_days.
#include <algorithm>
#include <cmath>

#include "common.hpp"
#include "korvex_mod_bond/api/order.hpp"
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
        double bond_value = 0, face = 0;
        for (auto& b : bonds_) {
            double q = held(ctx, b->order_book_id());
            bond_value += q * price(ctx, b->order_book_id());
            face += q * *b->issue_price();
        }
        // Roll the financing when nothing is outstanding or it falls due today: the new repo
        // brings in the cash that tonight's settlement repays.
        double new_borrowing = 0;
        if (borrowed == 0 || due_today(ctx)) {
            double want = std::min(std::max(0.0, (leverage_ - 1) * equity) / haircut_, face / 2);
            for (auto& b : bonds_) {
                if (want <= 0) break;
                const std::string& id = b->order_book_id();
                // A pledge must outlive the repo: leave bonds about to be repaid alone.
                if (b->de_listed_date() <= ctx.now() + std::chrono::days(14)) continue;
                double nominal = std::min(want, closable_of(ctx, id) * *b->issue_price());
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
        // Invest what tonight's repayment does not need, up to the leverage limit.
        const double due_tonight = due_today(ctx) ? borrowed * 1.001 : 0.0;
        const double pending = exchange_ ? new_borrowing : 0.0;  // exchange repos fill at the close
        double spare = account.cash() + pending - due_tonight - cash_buffer_ * equity;
        spare = std::min(spare, account.cash() - cash_buffer_ * equity);
        double room = leverage_ * equity - bond_value;
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
    static double closable_of(korvex::StrategyContext& ctx, const std::string& id) {
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG))
                return std::max(0.0, p->closable());
        return 0.0;
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
