#include "bond_series.hpp"

#include <algorithm>
#include <cmath>

#include "bond_pricer.hpp"
#include "calendars.hpp"
#include "random.hpp"

namespace korvex_generate {

namespace {

using QuantLib::Date;

constexpr double BASIS_POINT = 1e-4;

void add_cash_flows(const BondPricer& pricer, BondData& data) {
    const QuantLib::Calendar ib = inter_bank_calendar();
    for (const Payment& p : pricer.payments()) {
        const std::int32_t day = to_date_int(p.date);
        data.realized.push_back({day, p.coupon + p.principal, p.principal});
        // The coupon is owed to whoever holds the bond as the record day, one inter-bank working
        // day before payment, begins (the holder at the previous close); principal is owed to
        // the holder as the payment day begins.
        if (p.coupon != 0.0) {
            data.implied.push_back(
                {to_date_int(previous_business_day(ib, p.date)), 0.0, p.coupon, 0.0});
        }
        data.implied.push_back({day, p.coupon + p.principal, p.principal, p.principal});
    }
}

// One day of CFETS prices around the valuation: a few basis points off the curve, an intraday
// range that scales with duration, and trade sizes that scale with liquidity.
void add_price_row(const BondSpec& spec, const Valuation& v, std::int32_t day, Rng& rng,
                   std::vector<PriceRow>& prices) {
    if (!rng.chance(0.3 + 0.7 * spec.liquidity)) return;  // nobody traded or quoted
    const bool exchange = spec.market != Market::InterBank;
    const double dy = rng.normal(0.0, exchange ? 1.5 : 0.8) * BASIS_POINT;
    const double eod = v.dirty * (1.0 - v.modified_duration * dy + 0.5 * v.convexity * dy * dy);
    PriceRow row{day, eod, eod, eod, eod, v.ytm + dy * 100.0, eod - v.accrued, 0.0};
    if (rng.chance(0.9 - 0.1 * (1.0 - spec.liquidity))) {
        const double sigma = std::max(0.002, eod * v.modified_duration * 5.0 * BASIS_POINT);
        const double open = eod + rng.normal(0.0, 0.7 * sigma);
        row.dirty_price_open = open;
        row.dirty_price_high = std::max(open, eod) + std::abs(rng.normal(0.0, 0.5 * sigma));
        row.dirty_price_low = std::min(open, eod) - std::abs(rng.normal(0.0, 0.5 * sigma));
        // Units of 100 face: exchanges trade in lots of 10, the inter-bank market in 100,000
        // yuan of face.
        const double size =
            (exchange ? 20000.0 : 2.0e6) * spec.liquidity * std::exp(rng.normal(0.0, 1.0));
        const double lot = exchange ? 10.0 : 1000.0;
        row.volume = std::max(lot, std::round(size / lot) * lot);
    }
    for (double* p : {&row.dirty_price_open, &row.dirty_price_high, &row.dirty_price_low,
                      &row.dirty_price_eod, &row.ytm_close, &row.clean_price_eod}) {
        *p = round_to_decimals(*p, 4);
    }
    prices.push_back(row);
}

// The coupon an inter-bank bond's valuation of `day` no longer holds: from the record day to
// the payment, the coupon belongs to the holder of record, not to the bond (0 on other days).
double detached_coupon(const BondPricer& pricer, const Date& day) {
    const auto& payments = pricer.payments();
    auto next = std::upper_bound(payments.begin(), payments.end(), day,
                                 [](const Date& d, const Payment& p) { return d < p.date; });
    if (next == payments.end() || next->coupon == 0.0) return 0.0;
    return day >= previous_business_day(inter_bank_calendar(), next->date) ? next->coupon : 0.0;
}

}  // namespace

double round_to_decimals(double x, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(x * scale) / scale;
}

DayGrid DayGrid::make(const Date& start, const Date& end) {
    DayGrid grid;
    grid.days = business_days(inter_bank_calendar(), start, end);
    const QuantLib::Calendar sse = exchange_calendar();
    for (const Date& d : grid.days) {
        grid.ints.push_back(to_date_int(d));
        grid.exchange_open.push_back(sse.isBusinessDay(d) ? 1 : 0);
    }
    return grid;
}

BondData simulate_bond(const BondSpec& spec, const MarketModel& model, const DayGrid& grid,
                       std::uint64_t seed) {
    BondData data;
    if (spec.market == Market::Other) return data;
    const BondPricer pricer(spec);
    add_cash_flows(pricer, data);

    Rng rng(seed, stream_key(spec.order_book_id));
    // Bond-specific yield noise, mean-reverting over a few weeks.
    double noise = rng.normal(0.0, 5.0) * BASIS_POINT;
    auto it = std::lower_bound(grid.days.begin(), grid.days.end(), spec.listed_date);
    for (; it != grid.days.end() && *it <= spec.maturity_date; ++it) {
        const Date d = *it;
        const auto i = static_cast<std::size_t>(it - grid.days.begin());
        if (d == spec.maturity_date || pricer.residual_principal(d) == 0.0) {
            // Repaid: what the bond was worth is now in the day's payment.
            data.valuations.push_back({grid.ints[i], 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
            break;
        }
        noise = noise * (1.0 - 20.0 / 250.0) + rng.normal(0.0, 0.3 / std::sqrt(250.0)) * 0.01;
        const double years = static_cast<double>(spec.maturity_date - d) / 365.0;
        // Treasuries valued on an observed curve sit on it; the curve is fitted to them.
        const double own = model.observed() && model.sovereign(spec.issuer) ? 0.0 : noise;
        const double y = std::max(
            0.002, model.government_yield(d, years) + model.issuer_spread(spec.issuer, d) + own);
        const Valuation v = pricer.value(d, y);
        const double clean = round_to_decimals(v.clean, 4);
        // Valuations of inter-bank bonds are ex-coupon from the record day: the holder of
        // record books the coupon as receivable then, and it must not count twice. Exchange
        // bonds' payments become receivable on the payment day, when every price is ex.
        const double detached = spec.market == Market::InterBank ? detached_coupon(pricer, d) : 0.0;
        const double dirty = round_to_decimals(clean + v.accrued - detached, 4);
        const double dv01 = detached == 0.0 ? v.dv01 : dirty * v.modified_duration * 1e-4;
        data.valuations.push_back({grid.ints[i], dirty, clean, round_to_decimals(v.ytm, 4),
                                   round_to_decimals(v.modified_duration, 4),
                                   round_to_decimals(v.convexity, 4), round_to_decimals(dv01, 6),
                                   round_to_decimals(v.time_to_maturity, 4), v.residual_principal});
        if (spec.market != Market::InterBank && !grid.exchange_open[i]) continue;
        add_price_row(spec, v, grid.ints[i], rng, data.prices);
    }
    return data;
}

}  // namespace korvex_generate
