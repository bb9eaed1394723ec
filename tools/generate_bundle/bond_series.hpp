// The day-by-day history of one sample bond: Chinabond-style valuations, exchange (CFETS)
// prices with days without trades, and its realized and implied cash flows.
#pragma once

#include <cstdint>
#include <vector>

#include <ql/time/date.hpp>

#include "market_model.hpp"
#include "universe.hpp"

namespace korvex_generate {

// The days of the span on which the inter-bank market works, and which of them the exchanges
// work too (all of them except the inter-bank market's working weekends).
struct DayGrid {
    std::vector<QuantLib::Date> days;
    std::vector<std::int32_t> ints;
    std::vector<char> exchange_open;

    static DayGrid make(const QuantLib::Date& start, const QuantLib::Date& end);
};

struct ValuationRow {
    std::int32_t date;
    double dirty_price_eod, clean_price, ytm, modified_duration, convexity, dv01, time_to_maturity,
        residual_principal;
};

struct PriceRow {
    std::int32_t date;
    double dirty_price_open, dirty_price_high, dirty_price_low, dirty_price_eod, ytm_close,
        clean_price_eod, volume;
};

struct RealizedRow {
    std::int32_t payment_date;
    double cash_flow, principal_payment;
};

struct ImpliedRow {
    std::int32_t date;
    double total_payment, payment_receivable, principal_payment;
};

struct BondData {
    std::vector<ValuationRow> valuations;
    std::vector<PriceRow> prices;
    std::vector<RealizedRow> realized;
    std::vector<ImpliedRow> implied;
};

// Cash flows cover the bond's whole life; day rows cover its listed days inside the grid,
// ending with a row of zeros on the day it repays the last principal. Ids of other markets get
// nothing.
BondData simulate_bond(const BondSpec& spec, const MarketModel& model, const DayGrid& grid,
                       std::uint64_t seed);

double round_to_decimals(double x, int decimals);

}  // namespace korvex_generate
