// Hold a ladder of inter-bank bonds to maturity, collecting coupons and principal.
// [strategy] rungs: how many bonds; min_days: shortest maturity bought; cash_buffer: share of
// the bond account kept as cash.
#include <cmath>

#include "common.hpp"
#include "korvex_mod_bond/api/order.hpp"

namespace korvex_examples {
namespace {

class IbLadder : public korvex::Strategy {
public:
    explicit IbLadder(const korvex::ConfigNode& c)
        : rungs_(static_cast<int>(config_number(c, "rungs", 5))),
          min_days_(static_cast<int>(config_number(c, "min_days", 90))),
          cash_buffer_(config_number(c, "cash_buffer", 0.02)) {}

    void handle_bar(korvex::StrategyContext& ctx) override {
        if (bought_) return;
        auto bonds = listed_bonds(ctx, ".IB", min_days_);
        if (bonds.empty()) return;
        // Spread the rungs over the maturities on offer: every k-th bond by maturity.
        std::size_t step =
            std::max<std::size_t>(1, bonds.size() / static_cast<std::size_t>(rungs_));
        auto& account = ctx.portfolio().account(korvex::DEFAULT_ACCOUNT_TYPE::BOND);
        double budget = account.cash() * (1 - cash_buffer_) / rungs_;
        for (std::size_t i = 0, n = 0; i < bonds.size() && n < static_cast<std::size_t>(rungs_);
             i += step, ++n)
            if (priced_today(ctx, bonds[i]->order_book_id()))
                korvex_mod_bond::api::order_bond_value(ctx, bonds[i]->order_book_id(), budget);
        bought_ = true;
    }

    korvex::State save_state(korvex::StrategyContext&) override { return {{"bought", bought_}}; }
    void restore_state(korvex::StrategyContext&, const korvex::State& state) override {
        bought_ = state.at("bought").get<bool>();
    }

private:
    int rungs_;
    int min_days_;
    double cash_buffer_;
    bool bought_ = false;
};

const bool registered = [] {
    korvex::register_strategy(
        "ib_ladder", "holds a ladder of inter-bank bonds to maturity (coupons, principal)",
        [](const korvex::ConfigNode& c) { return std::make_unique<IbLadder>(c); });
    return true;
}();

}  // namespace
}  // namespace korvex_examples
