#include "korvex_mod_bond/analytics/bond_analytics.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/data/instrument.hpp"

namespace korvex_mod_bond {

namespace {

QuantLib::Date to_ql(korvex::Date d) {
    const std::chrono::year_month_day ymd(d);
    return QuantLib::Date(static_cast<QuantLib::Day>(static_cast<unsigned>(ymd.day())),
                          static_cast<QuantLib::Month>(static_cast<unsigned>(ymd.month())),
                          static_cast<QuantLib::Year>(static_cast<int>(ymd.year())));
}

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

// The latest close visible now, as a bond bar.
std::optional<BondBar> latest_bar(korvex::Environment& env, const std::string& id) {
    const korvex::Bars bars = env.data_proxy().day_bars(id);
    if (bars.empty()) return std::nullopt;
    if (bars.layout() == &BondDayBarStore::DTYPE) return bars.as<BondBar>().back();
    // Bars of another store: the fields it has.
    const std::size_t i = bars.size() - 1;
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

const BondAnalytics& BondAnalyticsBook::of(korvex::Environment& env,
                                           const std::string& order_book_id) {
    const korvex::Date today = korvex::to_date(env.calendar_dt);
    auto it = entries_.find(order_book_id);
    if (it == entries_.end()) {
        auto ins = env.data_proxy().find_instrument(order_book_id);
        if (!ins) throw korvex::KeyError(fmt::format("unknown instrument {}", order_book_id));
        if (!std::dynamic_pointer_cast<const BondInstrument>(ins))
            throw korvex::ValueError(fmt::format("{} is not a bond", order_book_id));
        it = entries_.emplace(order_book_id, Entry{}).first;
        it->second.figures.order_book_id = order_book_id;
    }
    Entry& entry = it->second;
    // A day's close becomes known at 15:00: within a day the figures change only then.
    const bool closed = env.calendar_dt >= korvex::DateTime(today) + std::chrono::hours(15);
    if (!entry.computed || entry.day != today ||
        (closed && entry.figures.as_of != std::optional<korvex::Date>(today)))
        compute(env, entry, today);
    return entry.figures;
}

void BondAnalyticsBook::compute(korvex::Environment& env, Entry& entry, korvex::Date today) {
    BondAnalytics& a = entry.figures;
    // Afresh, keeping the payments' storage: no allocation from the second day on.
    std::vector<RemainingPayment> payments = std::move(a.cash_flows);
    payments.clear();
    std::string kept_id = std::move(a.order_book_id);
    a = BondAnalytics{};
    a.order_book_id = std::move(kept_id);
    a.cash_flows = std::move(payments);
    entry.day = today;
    entry.computed = true;
    const std::string& id = a.order_book_id;

    // The payments still to come, and the principal outstanding after those made.
    const CashFlowSchedule schedule = schedules_->_all_real_cash_flow(id);
    double repaid = 0.0;
    if (schedule) {
        const std::int32_t d = korvex::convert_date_to_date_int(today);
        auto first = std::lower_bound(
            schedule->begin(), schedule->end(), d,
            [](const CashFlowRecord& r, std::int32_t v) { return r.payment_date < v; });
        double before = first == schedule->begin() ? 0.0 : std::prev(first)->cum_principal_payment;
        repaid = before;
        for (auto r = first; r != schedule->end(); ++r) {
            const double principal = r->cum_principal_payment - before;
            before = r->cum_principal_payment;
            a.cash_flows.push_back({korvex::date_from_int(r->payment_date),
                                    r->cash_flow - principal, principal});
        }
    }
    for (const RemainingPayment& p : a.cash_flows) {
        if (p.coupon > 1e-12) {
            a.next_coupon_date = p.date;
            a.next_coupon_amount = p.coupon;
            break;
        }
    }
    auto bond = std::dynamic_pointer_cast<const BondInstrument>(env.data_proxy().find_instrument(id));
    a.outstanding_principal = bond->issue_price().value_or(100.0) > 0 ? 100.0 - repaid : NAN;

    const std::optional<BondBar> bar = latest_bar(env, id);
    if (!bar || !std::isfinite(bar->close)) return;
    const korvex::Date as_of =
        korvex::to_date(korvex::datetime_from_int(static_cast<std::int64_t>(bar->datetime)));
    a.as_of = as_of;
    a.dirty_price = bar->close;
    if (std::isfinite(bar->modified_duration) && std::isfinite(bar->convexity) &&
        std::isfinite(bar->ytm) && std::isfinite(bar->clean_price) && std::isfinite(bar->dv01)) {
        a.source = "valuation";
        a.clean_price = bar->clean_price;
        a.accrued_interest = bar->close - bar->clean_price;
        a.ytm = bar->ytm;
        a.modified_duration = bar->modified_duration;
        a.convexity = bar->convexity;
        a.dv01 = bar->dv01;
        a.time_to_maturity = bar->t;
        if (std::isfinite(bar->principal)) a.outstanding_principal = bar->principal;
        return;
    }
    if (!entry.pricer_tried) {
        entry.pricer_tried = true;
        if (auto terms = terms_of(*bond)) {
            try {
                entry.pricer = std::make_unique<BondPricer>(*terms);
            } catch (const QuantLib::Error&) {
                // terms QuantLib cannot schedule: no computed figures
            }
        }
    }
    if (!entry.pricer) return;
    const QuantLib::Date d = to_ql(as_of);
    const double y = entry.pricer->yield(d, bar->close);
    if (!std::isfinite(y)) return;
    const Valuation v = entry.pricer->value(d, y);
    a.source = "quantlib";
    a.accrued_interest = v.accrued;
    a.clean_price = bar->close - v.accrued;
    a.ytm = v.ytm;
    a.modified_duration = v.modified_duration;
    a.convexity = v.convexity;
    a.dv01 = v.dv01;
    a.time_to_maturity = v.time_to_maturity;
    a.outstanding_principal = v.residual_principal;
}

}  // namespace korvex_mod_bond
