// Views of the live run's portfolio, accounts and positions (see py_common.hpp's RunRef).
#pragma once

#include <any>
#include <string>

#include "korvex/portfolio/portfolio.hpp"
#include "korvex/portfolio/position.hpp"
#include "py_common.hpp"

namespace korvex_python {

struct PortfolioView {
    RunRef run;
    korvex::Portfolio& get() const { return run.env().portfolio(); }
};

struct AccountView {
    RunRef run;
    korvex::DEFAULT_ACCOUNT_TYPE type;
    korvex::Account& get() const;
};

// An instrument's long and short positions in one account, looked up on every read.
struct PositionView {
    RunRef run;
    korvex::DEFAULT_ACCOUNT_TYPE account_type;
    std::string order_book_id;
    korvex::INSTRUMENT_TYPE type;  // as the registered position proxy reports it
    korvex::StockPositionProxy proxy() const;
    const korvex::Position* side(korvex::POSITION_DIRECTION d) const;
};

PositionView make_position_view(korvex::DEFAULT_ACCOUNT_TYPE account,
                                const std::string& order_book_id);
// An installed property holding an account (bond_account): its view, or None.
pybind11::object account_property(const std::any& value);

}  // namespace korvex_python
