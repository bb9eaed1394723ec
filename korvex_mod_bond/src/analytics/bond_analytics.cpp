#include "korvex_mod_bond/analytics/bond_analytics.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/data/instrument.hpp"

namespace korvex_mod_bond {

QuantLib::Date to_ql(korvex::Date d) {
    const std::chrono::year_month_day ymd(d);
    return QuantLib::Date(static_cast<QuantLib::Day>(static_cast<unsigned>(ymd.day())),
                          static_cast<QuantLib::Month>(static_cast<unsigned>(ymd.month())),
                          static_cast<QuantLib::Year>(static_cast<int>(ymd.year())));
}

namespace {

// The bond's terms from its record; none when a field is missing or out of range.
std::optional<BondTerms> terms_of(const BondInstrument& bond) {
    const korvex::Record& r = bond.record();
    const korvex::Value *rate = r.find("coupon_rate"), *frequency = r.find("coupon_frequency"),
                        *issue = r.find("issue_date"), *maturity = r.find("maturity_date");
    if (!rate || !frequency || !issue || !maturity || !rate->is_number() || !frequency->is_int() ||
        !issue->is_datetime() || !maturity->is_datetime())
        return std::nullopt;
    BondTerms t;
    t.coupon_rate = rate->as_double();
    t.frequency = static_cast<int>(frequency->as_int());
    t.issue_date = to_ql(korvex::to_date(issue->as_datetime()));
    t.maturity_date = to_ql(korvex::to_date(maturity->as_datetime()));
    if (const korvex::Value* n = r.find("amortizing_payments"); n && n->is_int())
        t.amortizing_payments = static_cast<int>(n->as_int());
    if ((t.frequency != 0 && t.frequency != 1 && t.frequency != 2) ||
        !(t.issue_date < t.maturity_date) || !std::isfinite(t.coupon_rate) ||
        t.amortizing_payments < 0)
        return std::nullopt;
    return t;
}

// Bar `i` as a bond bar, whatever store gave the bars.
BondBar bar_at(const korvex::Bars& bars, std::size_t i) {
    if (bars.layout() == &BondDayBarStore::DTYPE) return bars.as<BondBar>()[i];
    auto field = [&](std::string_view name) {
        const korvex::FieldSpec* f = bars.layout()->find(name);
        return f ? bars.get(i, *f) : NAN;
    };
    BondBar b{};
    b.datetime = static_cast<std::uint64_t>(bars.datetime(i));
    b.close = field("close");
    b.dv01 = field("dv01");
    b.ytm = field("ytm");
    b.clean_price = field("clean_price");
    b.modified_duration = field("modified_duration");
    b.convexity = field("convexity");
    b.t = field("t");
    b.principal = field("principal");
    return b;
}

}  // namespace

BondAnalyticsBook& BondAnalyticsBook::of_run(korvex::Environment& env) {
    if (auto* book = static_cast<BondAnalyticsBook*>(env.extension(EXTENSION_KEY).get()))
        return *book;
    auto book = std::make_shared<BondAnalyticsBook>(std::make_shared<CashFlowSchedules>());
    env.set_extension(std::string(EXTENSION_KEY), book);
    return *book;
}

BondAnalyticsBook::Entry& BondAnalyticsBook::entry_of(korvex::Environment& env,
                                                      const std::string& order_book_id) {
    auto it = entries_.find(order_book_id);
    if (it != entries_.end()) return it->second;
    auto ins = env.data_proxy().find_instrument(order_book_id);
    if (!ins) throw korvex::KeyError(fmt::format("unknown instrument {}", order_book_id));
    auto bond = std::dynamic_pointer_cast<const BondInstrument>(ins);
    if (!bond) throw korvex::ValueError(fmt::format("{} is not a bond", order_book_id));
    Entry entry;
    entry.figures.order_book_id = order_book_id;
    entry.bond = std::move(bond);
    entry.bars = env.data_proxy().day_bars_full(order_book_id);
    entry.schedule = schedules_->_all_real_cash_flow(order_book_id);
    return entries_.emplace(order_book_id, std::move(entry)).first->second;
}

const BondPricer* BondAnalyticsBook::pricer_of(Entry& entry) {
    if (!entry.pricer_tried) {
        entry.pricer_tried = true;
        if (auto terms = terms_of(*entry.bond)) {
            try {
                entry.pricer = std::make_unique<BondPricer>(*terms);
            } catch (const QuantLib::Error&) {
                // terms QuantLib cannot schedule: no computed figures
            }
        }
    }
    return entry.pricer.get();
}

const BondPricer* BondAnalyticsBook::pricer(korvex::Environment& env,
                                            const std::string& order_book_id) {
    return pricer_of(entry_of(env, order_book_id));
}

double BondAnalyticsBook::dirty_limit(korvex::Environment& env, const std::string& order_book_id,
                                      const BondLimit& limit, korvex::Date day) {
    const BondPricer* p = pricer(env, order_book_id);
    if (!p)
        throw korvex::ValueError(fmt::format(
            "{} has no coupon terms in its record (coupon_rate, coupon_frequency, issue_date, "
            "maturity_date) to turn a clean price or a yield into a price",
            order_book_id));
    try {
        if (limit.clean_price) return *limit.clean_price + p->accrued(to_ql(day));
        return p->value(to_ql(day), *limit.ytm / 100.0).dirty;
    } catch (const QuantLib::Error&) {
        throw korvex::ValueError(
            fmt::format("{} cannot be priced on {}", order_book_id, korvex::format_date(day)));
    }
}

const CurveHistory& BondAnalyticsBook::curve() {
    if (!curve_) {
        const auto points = tavlen::bond::get_yield_curve(curve_name_, {"19000101", "29991231"});
        curve_ = points ? CurveHistory(*points, curve_name_) : CurveHistory();
    }
    return *curve_;
}

const BondAnalytics& BondAnalyticsBook::of(korvex::Environment& env,
                                           const std::string& order_book_id) {
    const korvex::Date today = korvex::to_date(env.calendar_dt);
    Entry& entry = entry_of(env, order_book_id);
    // A day's close becomes known at 15:00: within a day the figures change only then.
    const bool closed = env.calendar_dt >= korvex::DateTime(today) + std::chrono::hours(15);
    if (!entry.computed || entry.day != today || entry.after_close != closed)
        compute(entry, today, closed);
    return entry.figures;
}

void BondAnalyticsBook::compute(Entry& entry, korvex::Date today, bool closed) {
    BondAnalytics& a = entry.figures;
    const bool new_day = !entry.computed || entry.day != today;
    if (entry.computed && today < entry.day) entry.next_bar = entry.next_payment = 0;  // rewound
    entry.day = today;
    entry.computed = true;
    entry.after_close = closed;

    // The payments still to come (rebuilt only when one has been made), and the principal
    // outstanding after those made.
    double repaid = 0.0;
    if (entry.schedule) {
        const auto& rows = *entry.schedule;
        const std::int32_t d = korvex::convert_date_to_date_int(today);
        const std::size_t before = entry.next_payment;
        while (entry.next_payment < rows.size() && rows[entry.next_payment].payment_date < d)
            ++entry.next_payment;
        const std::size_t first = entry.next_payment;
        repaid = first == 0 ? 0.0 : rows[first - 1].cum_principal_payment;
        if (first != before || a.cash_flows.empty()) {
            a.cash_flows.clear();
            a.next_coupon_date.reset();
            a.next_coupon_amount = 0.0;
            double cum = repaid;
            for (std::size_t r = first; r < rows.size(); ++r) {
                const double principal = rows[r].cum_principal_payment - cum;
                cum = rows[r].cum_principal_payment;
                a.cash_flows.push_back({korvex::date_from_int(rows[r].payment_date),
                                        rows[r].cash_flow - principal, principal});
                if (!a.next_coupon_date && rows[r].cash_flow - principal > 1e-12) {
                    a.next_coupon_date = a.cash_flows.back().date;
                    a.next_coupon_amount = rows[r].cash_flow - principal;
                }
            }
        }
    }
    a.outstanding_principal = 100.0 - repaid;

    // The latest close known now: today's once the day has closed.
    const std::int64_t cutoff = korvex::convert_date_to_int(today) + (closed ? 0 : -1);
    const korvex::Bars& bars = entry.bars;
    while (entry.next_bar < bars.size() && bars.datetime(entry.next_bar) <= cutoff)
        ++entry.next_bar;
    if (!new_day && a.as_of && entry.next_bar > 0 &&
        static_cast<std::int64_t>(korvex::convert_date_to_int(*a.as_of)) ==
            bars.datetime(entry.next_bar - 1))
        return;  // the close did not bring a new bar: the figures stand
    a.as_of.reset();
    a.source = "none";
    a.dirty_price = a.clean_price = a.accrued_interest = a.ytm = a.modified_duration = a.convexity =
        a.dv01 = a.time_to_maturity = a.curve_yield = a.spread_bp = NAN;
    if (entry.next_bar == 0) return;
    const BondBar bar = bar_at(bars, entry.next_bar - 1);
    if (!std::isfinite(bar.close)) return;
    const korvex::Date as_of =
        korvex::to_date(korvex::datetime_from_int(static_cast<std::int64_t>(bar.datetime)));
    a.as_of = as_of;
    a.dirty_price = bar.close;
    auto take = [&a, &as_of, this](const Valuation& v, std::string_view source) {
        a.source = source;
        a.curve_yield = curve().yield_at(as_of, v.time_to_maturity);
        a.spread_bp = (v.ytm - a.curve_yield) * 100.0;
        a.clean_price = v.clean;
        a.accrued_interest = v.accrued;
        a.ytm = v.ytm;
        a.modified_duration = v.modified_duration;
        a.convexity = v.convexity;
        a.dv01 = v.dv01;
        a.time_to_maturity = v.time_to_maturity;
        a.outstanding_principal = v.residual_principal;
    };
    if (std::isfinite(bar.modified_duration) && std::isfinite(bar.convexity) &&
        std::isfinite(bar.ytm) && std::isfinite(bar.clean_price) && std::isfinite(bar.dv01)) {
        take({.dirty = bar.close,
              .clean = bar.clean_price,
              .accrued = bar.close - bar.clean_price,
              .ytm = bar.ytm,
              .modified_duration = bar.modified_duration,
              .convexity = bar.convexity,
              .dv01 = bar.dv01,
              .time_to_maturity = bar.t,
              .residual_principal =
                  std::isfinite(bar.principal) ? bar.principal : a.outstanding_principal},
             "valuation");
        return;
    }
    const BondPricer* pricer = pricer_of(entry);
    if (!pricer) return;
    if (const auto valued = pricer->value_at_dirty(to_ql(as_of), bar.close))
        take(*valued, "quantlib");
}

}  // namespace korvex_mod_bond
