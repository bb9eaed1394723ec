// Leveraged carry: hold bonds, pledge them in repos and put the borrowed cash into more bonds,
// keeping bond market value under `leverage` times equity. On a repo's due date its bonds can be
// pledged again and the new repo's cash repays it that night; what the roll cannot repay is raised
// by selling unpledged bonds.
//   exchange_carry: exchange bonds (".SH"), one-day Shanghai repo 204001.SH rolled every day.
//   ib_carry: inter-bank bonds, R007 financing rolled when it falls due.
// [strategy] bonds, leverage (1 to 2), haircut, cash_buffer, min_days.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "common.hpp"
#include "korvex/errors.hpp"
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
          min_days_(static_cast<int>(config_number(c, "min_days", 365))) {
        // Beyond twice equity the collateral of a bond being repaid can outgrow what the others
        // and the market can take over in a day.
        if (!(leverage_ >= 1 && leverage_ <= 2))
            throw korvex::ValueError(fmt::format(
                "strategy.leverage must be between 1 and 2 (bond value over equity), got {}",
                leverage_));
        if (!(haircut_ > 0 && haircut_ <= 1))
            throw korvex::ValueError(
                fmt::format("strategy.haircut must be in (0, 1], got {}", haircut_));
    }

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
        for (auto& b : bonds_)
            bond_value += held(ctx, b->order_book_id()) * price(ctx, b->order_book_id());
        // Roll the financing when nothing is outstanding or it falls due today: the maturing
        // repo's bonds are pledged again and the new cash repays it tonight. The latest
        // maturities first; retiring bonds only where the others do not cover the loan.
        double new_borrowing = 0;
        if (borrowed == 0 || due_today(ctx)) {
            double want = std::max(0.0, (leverage_ - 1) * equity) / haircut_;
            for (bool fallback : {false, true})
                for (auto& b : by_maturity(false)) {
                    if (want <= 0 || retiring(ctx, *b) != fallback) continue;
                    const double nominal =
                        finance(ctx, b->order_book_id(),
                                std::min(want, pledgeable_face_of(ctx, b->order_book_id())));
                    new_borrowing += nominal * haircut_;
                    want -= nominal;
                }
        }
        if (exchange_ && new_borrowing > 0)
            due_ = korvex::to_date(ctx.now()) + std::chrono::days(1);
        // Retiring bonds are sold as their pledges free them; new bonds take their place.
        for (auto& b : bonds_)
            if (retiring(ctx, *b)) sell_within_volume(ctx, b->order_book_id(), 1e300);
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
        const auto staying = static_cast<double>(std::count_if(
            bonds_.begin(), bonds_.end(), [&](auto& b) { return !retiring(ctx, *b); }));
        if (spare > 0 && room > 0 && staying > 0) {
            double each = std::min(spare, room) / staying;
            // Inter-bank bonds trade in at least 1000 units, exchange bonds in lots of 10.
            const double least = exchange_ ? 10 : 1000;
            for (auto& b : bonds_)
                if (!retiring(ctx, *b) && each > least * price(ctx, b->order_book_id()) &&
                    priced_today(ctx, b->order_book_id()))
                    korvex_mod_bond::api::order_bond_value(ctx, b->order_book_id(), each);
        }
    }

    // The bonds it follows and its repo's due date: what a resumed run needs to go on alike.
    korvex::State save_state(korvex::StrategyContext&) override {
        korvex::State ids = korvex::State::array();
        for (auto& b : bonds_) ids.push_back(b->order_book_id());
        return {{"bonds", ids}, {"due", due_ ? korvex::format_date(*due_) : std::string()}};
    }
    void restore_state(korvex::StrategyContext& ctx, const korvex::State& state) override {
        bonds_.clear();
        for (auto& id : state.at("bonds"))
            bonds_.push_back(std::dynamic_pointer_cast<const korvex_mod_bond::BondInstrument>(
                ctx.data_proxy().instruments(id.get<std::string>())));
        const std::string due = state.at("due").get<std::string>();
        due_ = due.empty() ? std::nullopt : std::optional(korvex::parse_date(due));
    }

private:
    static double price(korvex::StrategyContext& ctx, const std::string& id) {
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG); p && p->last_price() > 0)
                return p->last_price();
        return 100.0;
    }
    // The face value a new financing may pledge: pledgeable units times what is still
    // outstanding of each unit's principal.
    static double pledgeable_face_of(korvex::StrategyContext& ctx, const std::string& id) {
        const korvex::Date today = korvex::to_date(ctx.now());
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = dynamic_cast<korvex_mod_bond::BondPosition*>(
                    a->find_position(id, POSITION_DIRECTION::LONG)))
                return std::max(0.0, p->pledgeable(today)) * p->remaining_principal(today);
        return 0.0;
    }
    std::vector<std::shared_ptr<const korvex_mod_bond::BondInstrument>> by_maturity(
        bool earliest_first) const {
        auto out = bonds_;
        std::stable_sort(out.begin(), out.end(), [&](auto& a, auto& b) {
            return earliest_first ? a->de_listed_date() < b->de_listed_date()
                                  : a->de_listed_date() > b->de_listed_date();
        });
        return out;
    }
    // Within two months of its repayment a bond is retired: sold, not bought, pledged last.
    static bool retiring(korvex::StrategyContext& ctx, const korvex_mod_bond::BondInstrument& b) {
        return b.de_listed_date() <= ctx.now() + std::chrono::days(60);
    }
    // Borrows about `nominal` against the bond in the market's repo; the nominal borrowed.
    double finance(korvex::StrategyContext& ctx, const std::string& id, double nominal) {
        if (exchange_) {
            nominal = std::floor(nominal / 1000) * 1000;
            if (nominal < 100000 || !korvex_mod_bond::api::exchange_repo_financing(
                                        ctx, "204001.SH", nominal, id, haircut_))
                return 0;
            return nominal;
        }
        nominal = std::floor(nominal / 100) * 100;
        if (nominal <= 0) return 0;
        auto t = korvex_mod_bond::api::ib_repo(ctx, 7, nominal, id, haircut_);
        if (!t) return 0;
        due_ = t->due_settlement_date();
        return nominal;
    }
    // Sells up to `amount` of the bond's unpledged units, within a fifth of the day's volume so
    // that the sale fills at the close, before settlement; the value offered.
    double sell_within_volume(korvex::StrategyContext& ctx, const std::string& id, double amount) {
        if (!priced_today(ctx, id)) return 0;
        const double lot = exchange_ ? 10 : 1000;
        korvex::Bars today = ctx.day_bars(id);
        double closable = 0;
        for (auto& [t, a] : ctx.portfolio().accounts())
            if (auto* p = a->find_position(id, POSITION_DIRECTION::LONG))
                closable = std::max(0.0, p->closable());
        const double units =
            std::min({std::floor(today.get(today.size() - 1, "volume") * 0.2 / lot) * lot, closable,
                      std::ceil(amount / price(ctx, id) / lot) * lot});
        if (units <= 0 || !korvex_mod_bond::api::order_bond(ctx, id, -units)) return 0;
        return units * price(ctx, id);
    }
    // Sells bonds worth about `amount`, the earliest maturities first.
    void raise_cash(korvex::StrategyContext& ctx, double amount) {
        for (auto& b : by_maturity(true)) {
            if (amount <= 0) break;
            amount -= sell_within_volume(ctx, b->order_book_id(), amount);
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
    // Retiring bonds no longer held leave the list; new bonds keep `bonds` of them staying.
    void drop_matured(korvex::StrategyContext& ctx) {
        std::erase_if(bonds_, [&](auto& b) {
            return retiring(ctx, *b) && held(ctx, b->order_book_id()) == 0;
        });
        auto staying = std::count_if(bonds_.begin(), bonds_.end(),
                                     [&](auto& b) { return !retiring(ctx, *b); });
        for (auto& b : listed_bonds(ctx, exchange_ ? ".SH" : ".IB", min_days_)) {
            if (staying >= bonds_wanted_) break;
            if (std::find(bonds_.begin(), bonds_.end(), b) == bonds_.end()) {
                bonds_.push_back(b);
                ++staying;
            }
        }
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
