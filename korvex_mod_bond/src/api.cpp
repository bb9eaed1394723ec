#include "korvex_mod_bond/api.hpp"

namespace korvex_mod_bond::api {

namespace {
bool g_loaded = false;
}

void load() {
    g_loaded = true;
}

bool api_loaded() {
    return g_loaded;
}

}  // namespace korvex_mod_bond::api

namespace korvex_mod_bond::api {

std::tuple<korvex::Account&, korvex::Position&, korvex::InstrumentPtr> _get_account_position_ins(
    const std::string& order_book_id) {
    korvex::Environment& env = korvex::Environment::get_instance();
    korvex::InstrumentPtr ins = env.data_proxy().instruments(order_book_id);
    korvex::Account& account = env.portfolio().account(ins->account_type());
    korvex::Position& position =
        account.get_position(order_book_id, korvex::POSITION_DIRECTION::LONG);
    return {account, position, ins};
}

}  // namespace korvex_mod_bond::api
