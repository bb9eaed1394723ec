// What strategies see of bond and repo positions: the host's stock position view, reporting the
// bond or repo instrument type.
#pragma once

#include <array>

#include "korvex/portfolio/position.hpp"

namespace korvex_mod_bond {

class BondPositionProxy : public korvex::StockPositionProxy {
public:
    static constexpr std::array<korvex::INSTRUMENT_TYPE, 1> instrument_types{
        korvex::INSTRUMENT_TYPE::BOND};
    using korvex::StockPositionProxy::StockPositionProxy;
    korvex::INSTRUMENT_TYPE type() const override { return korvex::INSTRUMENT_TYPE::BOND; }
};

class RepoPositionProxy : public korvex::StockPositionProxy {
public:
    static constexpr std::array<korvex::INSTRUMENT_TYPE, 1> instrument_types{
        korvex::INSTRUMENT_TYPE::REPO};
    using korvex::StockPositionProxy::StockPositionProxy;
    korvex::INSTRUMENT_TYPE type() const override { return korvex::INSTRUMENT_TYPE::REPO; }
};

}  // namespace korvex_mod_bond
