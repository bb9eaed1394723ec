// Lend idle cash every day: the Shanghai one-day reverse repo (204001.SH) from the stock account,
// or the inter-bank R001 from the bond account.
// [strategy] market: "exchange" or "inter_bank"; keep: cash kept back.
#include <algorithm>
#include <cmath>

#include "common.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/validator.hpp"

namespace korvex_examples {
namespace {

class CashManagement : public korvex::Strategy {
public:
    explicit CashManagement(const korvex::ConfigNode& c)
        : inter_bank_(config_text(c, "market", "exchange") == "inter_bank"),
          repo_(config_text(c, "repo", "204001.SH")),
          keep_(config_number(c, "keep", 0.0)) {}

    void handle_bar(korvex::StrategyContext& ctx) override {
        auto type =
            inter_bank_ ? korvex::DEFAULT_ACCOUNT_TYPE::BOND : korvex::DEFAULT_ACCOUNT_TYPE::STOCK;
        auto& account = ctx.portfolio().account(type);
        double idle = account.cash() - keep_;
        if (idle <= 0) return;
        if (inter_bank_) {
            double amount =
                std::floor(korvex_mod_bond::api::calc_max_amount("R001.IB", idle) / 10) * 10;
            if (amount > 0) korvex_mod_bond::api::ib_reverse_repo(ctx, 1, amount);
            return;
        }
        auto repo = ctx.data_proxy().instruments(repo_);
        const double lot = repo->round_lot();
        const double amount =
            std::floor(korvex_mod_bond::api::calc_max_amount(repo_, idle) / lot) * lot;
        // The exchange's minimum: what is left below it stays idle.
        if (amount >=
            std::max(lot, korvex_mod_bond::min_repo_value(repo->exchange()).value_or(0.0)))
            korvex_mod_bond::api::exchange_reverse_repo(ctx, repo_, amount);
    }

    // Each day's lending follows from the account alone: nothing of its own to keep.
    korvex::State save_state(korvex::StrategyContext&) override { return korvex::State::object(); }

private:
    bool inter_bank_;
    std::string repo_;
    double keep_;
};

const bool registered = [] {
    korvex::register_strategy(
        "cash_management", "lends idle cash every day in the one-day reverse repo",
        [](const korvex::ConfigNode& c) { return std::make_unique<CashManagement>(c); });
    return true;
}();

}  // namespace
}  // namespace korvex_examples
