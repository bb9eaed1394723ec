#include "korvex_mod_bond/position.hpp"

namespace korvex_mod_bond::position {

std::shared_ptr<CashFlowSchedules> load(korvex::Environment& env) {
    auto schedules = std::make_shared<CashFlowSchedules>();
    for (korvex::INSTRUMENT_TYPE type : BondPosition::instrument_types)
        env.register_position_model(
            type, [schedules](const std::string& order_book_id,
                              korvex::POSITION_DIRECTION direction, double init_quantity) {
                return BondPosition::create(order_book_id, direction, init_quantity, schedules);
            });
    for (korvex::INSTRUMENT_TYPE type : RepoPosition::instrument_types)
        env.register_position_model(
            type, [](const std::string& order_book_id, korvex::POSITION_DIRECTION direction,
                     double init_quantity) {
                return std::make_unique<RepoPosition>(order_book_id, direction, init_quantity);
            });
    for (korvex::INSTRUMENT_TYPE type : BondPositionProxy::instrument_types)
        env.register_position_proxy(
            type, [](const std::string& order_book_id, const korvex::Position* long_pos,
                     const korvex::Position* short_pos) {
                return std::make_unique<BondPositionProxy>(order_book_id, long_pos, short_pos);
            });
    for (korvex::INSTRUMENT_TYPE type : RepoPositionProxy::instrument_types)
        env.register_position_proxy(
            type, [](const std::string& order_book_id, const korvex::Position* long_pos,
                     const korvex::Position* short_pos) {
                return std::make_unique<RepoPositionProxy>(order_book_id, long_pos, short_pos);
            });
    return schedules;
}

}  // namespace korvex_mod_bond::position
