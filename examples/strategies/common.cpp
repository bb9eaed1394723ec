#include "common.hpp"

#include <algorithm>

namespace korvex_examples {

std::vector<std::shared_ptr<const korvex_mod_bond::BondInstrument>> listed_bonds(
    korvex::StrategyContext& ctx, const std::string& suffix, int min_days) {
    std::vector<std::shared_ptr<const korvex_mod_bond::BondInstrument>> out;
    const korvex::DateTime now = ctx.now();
    for (auto& ins : ctx.data_proxy().all_instruments(korvex::INSTRUMENT_TYPE::BOND)) {
        auto bond = std::dynamic_pointer_cast<const korvex_mod_bond::BondInstrument>(ins);
        if (!bond || !korvex_mod_bond::ends_with(bond->order_book_id(), suffix)) continue;
        if (!bond->listed_at(now)) continue;
        if (bond->de_listed_date() < now + std::chrono::days(min_days)) continue;
        if (!bond->issue_price()) continue;
        out.push_back(bond);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](auto& a, auto& b) { return a->de_listed_date() < b->de_listed_date(); });
    return out;
}

double config_number(const korvex::ConfigNode& config, const char* key, double fallback) {
    return config.contains(key) ? config[key].as_double() : fallback;
}

std::string config_text(const korvex::ConfigNode& config, const char* key, std::string fallback) {
    return config.contains(key) ? config[key].as_string() : fallback;
}

double held(korvex::StrategyContext& ctx, const std::string& order_book_id) {
    for (auto& [type, account] : ctx.portfolio().accounts())
        if (auto* p = account->find_position(order_book_id, korvex::POSITION_DIRECTION::LONG))
            return p->quantity();
    return 0;
}

bool priced_today(korvex::StrategyContext& ctx, const std::string& order_book_id) {
    korvex::Bars bars = ctx.data_proxy().day_bars(order_book_id);
    return !bars.empty() &&
           bars.find(korvex::convert_date_to_int(korvex::to_date(ctx.now()))) != korvex::Bars::npos;
}

}  // namespace korvex_examples
