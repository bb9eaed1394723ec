#include "korvex_mod_bond/api/analytics.hpp"

namespace korvex_mod_bond::api {

const BondAnalytics& bond_analytics(korvex::StrategyContext& ctx,
                                    const std::string& order_book_id) {
    return BondAnalyticsBook::of_run(ctx.env()).of(ctx.env(), order_book_id);
}

}  // namespace korvex_mod_bond::api
