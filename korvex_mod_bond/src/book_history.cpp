#include "korvex_mod_bond/book_history.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <iterator>

#include "book_figures.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/position.hpp"

namespace korvex_mod_bond {

namespace {

constexpr std::array<std::string_view, PNL_TERM_COUNT> kTermNames{
    "carry", "roll_down", "rates", "spread", "trading", "residual", "funding", "costs", "cash"};

std::size_t at(PnlTerm term) {
    return static_cast<std::size_t>(term);
}

template <class... Args>
void put(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
    fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
}

// Written in pieces: a long run's history need not be one string.
void flush(std::string& buffer, std::ostream& out, bool last = false) {
    if (buffer.size() < (1u << 20) && !last) return;
    out << buffer;
    buffer.clear();
}

// Splits a payment's rate sensitivity `weight`, due in `years`, between the two key rates
// around it, linearly; before the first and after the last it goes whole to that one.
void add_to_key_rates(std::array<double, KEY_RATE_YEARS.size()>& buckets, double years,
                      double weight) {
    if (!(years > KEY_RATE_YEARS.front())) {
        buckets.front() += weight;
        return;
    }
    for (std::size_t k = 1; k < KEY_RATE_YEARS.size(); ++k)
        if (years <= KEY_RATE_YEARS[k]) {
            const double share =
                (years - KEY_RATE_YEARS[k - 1]) / (KEY_RATE_YEARS[k] - KEY_RATE_YEARS[k - 1]);
            buckets[k - 1] += weight * (1 - share);
            buckets[k] += weight * share;
            return;
        }
    buckets.back() += weight;
}

}  // namespace

void BookHistory::load(korvex::Environment& env) {
    auto history = std::make_shared<BookHistory>();
    env.add_post_system_init([history](korvex::Environment& e) { history->take_stock(e); });
    env.add_state_restored([history](korvex::Environment& e) { history->take_stock(e); });
    env.add_day_closed([history](korvex::Environment& e) { history->record_close(e); });
    for (std::size_t k = 0; k < PNL_TERM_COUNT; ++k)
        env.add_daily_metric(
            fmt::format("pnl_{}", kTermNames[k]),
            [history, k](korvex::Environment&) { return history->day_terms()[k]; });
    env.add_daily_metric("duration_over_equity", [history](korvex::Environment& e) {
        const double equity = e.portfolio().total_value();
        return equity != 0 ? history->risk().duration_value / equity : 0.0;
    });
    for (std::size_t k = 0; k < KEY_RATE_YEARS.size(); ++k)
        env.add_daily_metric(
            fmt::format("key_rate_dv01_{}y", KEY_RATE_YEARS[k]),
            [history, k](korvex::Environment&) { return history->risk().key_rate_dv01[k]; });
    env.add_daily_metric("repo_leverage", [](korvex::Environment& e) {
        const double equity = e.portfolio().total_value();
        return equity != 0 ? book::repo_outstanding(e, korvex::POSITION_DIRECTION::SHORT) / equity
                           : 0.0;
    });
    for (std::size_t k = 0; k < PNL_TERM_COUNT; ++k)
        env.add_summary_extra(
            fmt::format("pnl_{}", kTermNames[k]),
            [history, k](korvex::Environment&) { return history->run_terms()[k]; });
    static constexpr std::array<const char*, PNL_TERM_COUNT> colors{
        "#16a34a", "#65a30d", "#2563eb", "#7c3aed", "#ea580c",
        "#94a3b8", "#dc2626", "#b45309", "#0f766e"};
    korvex::ReportSection attribution{
        .title = "Where the return came from",
        .note =
            "Each day's change of equity split into terms (attribution.csv has them bond by "
            "bond); the residual is what the yield model leaves unexplained."};
    for (std::size_t k = 0; k < PNL_TERM_COUNT; ++k) {
        korvex::ReportSeries s{std::string(kTermNames[k]), fmt::format("pnl_{}", kTermNames[k]),
                               colors[k]};
        s.label[0] = static_cast<char>(std::toupper(s.label[0]));
        std::replace(s.label.begin(), s.label.end(), '_', '-');
        attribution.monthly_stack.push_back(s);
        attribution.yearly_table.push_back(std::move(s));
    }
    env.add_report_section(std::move(attribution));
    korvex::ReportSection risk{.title = "Rate risk and leverage"};
    korvex::ReportPanel key_rates{.title = "DV01 by key rate"};
    static constexpr std::array<const char*, KEY_RATE_YEARS.size()> key_colors{
        "#93c5fd", "#60a5fa", "#3b82f6", "#2563eb", "#1d4ed8", "#1e3a8a"};
    for (std::size_t k = 0; k < KEY_RATE_YEARS.size(); ++k)
        key_rates.series.push_back({fmt::format("{}y", KEY_RATE_YEARS[k]),
                                    fmt::format("key_rate_dv01_{}y", KEY_RATE_YEARS[k]),
                                    key_colors[k]});
    risk.panels = {{.title = "DV01", .from_zero = true, .series = {{"DV01", "dv01", "#1d4ed8"}}},
                   std::move(key_rates),
                   {.title = "Modified duration",
                    .from_zero = true,
                    .series = {{"Over bond value", "modified_duration", "#7c3aed"},
                               {"Over equity", "duration_over_equity", "#ea580c"}}},
                   {.title = "Leverage",
                    .from_zero = true,
                    .series = {{"Bond value / equity", "leverage", "#0f766e"},
                               {"Repo borrowed / equity", "repo_leverage", "#dc2626"}}}};
    env.add_report_section(std::move(risk));
    env.add_result_file("attribution.csv", [history](korvex::Environment&, std::ostream& out) {
        history->write_attribution(out);
    });
    env.add_result_file("positions_daily.csv", [history](korvex::Environment&, std::ostream& out) {
        history->write_positions(out);
    });
}

std::uint32_t BookHistory::bond_index(const std::string& id) {
    auto [it, inserted] = index_.try_emplace(id, static_cast<std::uint32_t>(ids_.size()));
    if (inserted) ids_.push_back(id);
    return it->second;
}

BookHistory::Today& BookHistory::touch(const std::string& id, std::int32_t date) {
    auto [it, inserted] = today_.try_emplace(id);
    Today& t = it->second;
    if (inserted) t.bond = bond_index(id);
    if (t.date != date) {
        const std::uint32_t bond = t.bond;
        t = Today{};
        t.bond = bond;
        t.date = date;
        touched_.push_back(&*it);
    }
    return t;
}

void BookHistory::take_stock(korvex::Environment& env) {
    held_.clear();
    journal_read_.clear();
    repo_equity_ = other_equity_ = 0;
    for (auto& [type, account] : env.portfolio().accounts())
        journal_read_.push_back(account->journal().entries().size());
    book::each_position(env, [&](korvex::Position& p) {
        if (auto* b = dynamic_cast<BondPosition*>(&p)) {
            Held& h = held_[p.order_book_id()];
            h.quantity += p.quantity() * korvex::direction_factor(p.direction());
            h.mark = p.last_price();
            h.receivable += b->payment_receivable();
        } else if (dynamic_cast<RepoPosition*>(&p)) {
            repo_equity_ += p.equity();
        } else {
            other_equity_ += p.equity();
        }
    });
    // The yields of the bonds held, where the close is known: a restored close's.
    for (auto& [id, h] : held_) {
        try {
            const BondAnalytics& a = BondAnalyticsBook::of_run(env).of(env, id);
            h.ytm = a.ytm;
            h.duration = a.modified_duration;
            h.convexity = a.convexity;
            h.curve = a.curve_yield;
            h.priced = a.as_of && std::isfinite(a.ytm);
            if (a.as_of) h.as_of = *a.as_of;
        } catch (const korvex::Error&) {
            // no figures: the first day's move is residual
        }
    }
}

void BookHistory::record_close(korvex::Environment& env) {
    using korvex::CASH_CAUSE;
    const std::int32_t date = korvex::convert_date_to_date_int(env.trading_dt);
    day_.fill(0);
    risk_ = Risk{};
    touched_.clear();
    for (auto& [id, h] : held_) touch(id, date);

    // The cash of the day, from the journals' entries since the last close.
    std::size_t a = 0;
    for (auto& [type, account] : env.portfolio().accounts()) {
        if (journal_read_.size() <= a) journal_read_.push_back(0);
        const auto& entries = account->journal().entries();
        for (std::size_t i = std::min(journal_read_[a], entries.size()); i < entries.size(); ++i) {
            const korvex::CashEntry& e = entries[i];
            switch (e.cause) {
                case CASH_CAUSE::BOND_BOUGHT:
                case CASH_CAUSE::BOND_SOLD:
                    touch(e.order_book_id, date).trade_cash += e.amount;
                    break;
                case CASH_CAUSE::COUPON:
                case CASH_CAUSE::PRINCIPAL:
                    touch(e.order_book_id, date).income_cash += e.amount;
                    break;
                case CASH_CAUSE::COMMISSION:
                case CASH_CAUSE::TAX:
                case CASH_CAUSE::REPO_COMMISSION:
                    day_[at(PnlTerm::COSTS)] += e.amount;
                    break;
                case CASH_CAUSE::REPO_BORROWED:
                case CASH_CAUSE::REPO_REPAID:
                case CASH_CAUSE::REPO_LENT:
                case CASH_CAUSE::REPO_RETURNED:
                    day_[at(PnlTerm::FUNDING)] += e.amount;
                    break;
                default:  // other instruments, overdraft interest, other cash
                    day_[at(PnlTerm::CASH)] += e.amount;
            }
        }
        journal_read_[a++] = entries.size();
    }

    // The positions at the close: repos are funding, what is neither bond nor repo is cash.
    double repo_equity = 0, other_equity = 0;
    book::each_position(env, [&](korvex::Position& p) {
        if (auto* b = dynamic_cast<BondPosition*>(&p)) {
            Today& t = touch(p.order_book_id(), date);
            t.quantity += p.quantity() * korvex::direction_factor(p.direction());
            t.mark = p.last_price();
            t.receivable += b->payment_receivable();
            t.pledged += b->pledged_quantity();
            t.held = true;
        } else if (dynamic_cast<RepoPosition*>(&p)) {
            repo_equity += p.equity();
        } else {
            other_equity += p.equity();
        }
    });
    day_[at(PnlTerm::FUNDING)] += repo_equity - repo_equity_;
    day_[at(PnlTerm::CASH)] += other_equity - other_equity_;
    book_days_.push_back({date, {}});
    for (std::size_t k = 0; k < BOOK_TERMS; ++k)
        book_days_.back().terms[k] = day_[at(PnlTerm::FUNDING) + k];
    repo_equity_ = repo_equity;
    other_equity_ = other_equity;

    for (auto* entry : touched_) {
        const std::string& id = entry->first;
        auto before = held_.find(id);
        const Held after = attribute(env, date, id, before == held_.end() ? Held{} : before->second,
                                     entry->second);
        if (after.quantity == 0 && after.receivable == 0) {
            if (before != held_.end()) held_.erase(before);
        } else if (before != held_.end()) {
            before->second = after;
        } else {
            held_.emplace(id, after);
        }
    }
    for (std::size_t k = 0; k < PNL_TERM_COUNT; ++k) run_[k] += day_[k];
}

BookHistory::Held BookHistory::attribute(korvex::Environment& env, std::int32_t date,
                                         const std::string& id, const Held& before,
                                         const Today& today) {
    BondAnalyticsBook& analytics = BondAnalyticsBook::of_run(env);
    const BondAnalytics* a = nullptr;
    try {
        a = &analytics.of(env, id);
    } catch (const korvex::Error&) {
        // not a bond the run knows: its change is residual
    }
    const double q0 = before.quantity, q1 = today.quantity;
    // A holding gone without a trade was repaid and de-listed: nothing is left to mark. One
    // sold out is marked at the close, as it would have been held.
    double mark = today.mark;
    if (!today.held)
        mark = today.trade_cash == 0                ? 0.0
               : a && std::isfinite(a->dirty_price) ? a->dirty_price
                                                    : before.mark;
    const double trading = (q1 - q0) * mark + today.trade_cash;
    const double market =
        q0 * (mark - before.mark) + today.receivable - before.receivable + today.income_cash;
    double carry = 0, roll = 0, rates = 0, spread = 0;
    if (q0 != 0 && !today.held && today.trade_cash == 0) {
        carry = market;  // the last accrual and the repayment at par
    } else if (q0 != 0 && a && a->as_of && before.priced && std::isfinite(a->ytm) &&
               *a->as_of > before.as_of) {
        const double value0 = q0 * before.mark;
        const double y0 = before.ytm / 100;
        carry = NAN;
        if (const BondPricer* p = analytics.pricer(env, id); p && !p->payments().empty()) {
            const QuantLib::Date d0 = to_ql(before.as_of), d1 = to_ql(*a->as_of);
            if (d1 < p->payments().back().date) {
                try {
                    double paid = 0;
                    for (auto pay =
                             std::partition_point(p->payments().begin(), p->payments().end(),
                                                  [&](const Payment& x) { return x.date <= d0; });
                         pay != p->payments().end() && pay->date <= d1; ++pay)
                        paid += pay->coupon + pay->principal;
                    carry = q0 * (p->dirty(d1, y0) + paid - p->dirty(d0, y0));
                } catch (const QuantLib::Error&) {
                    carry = NAN;
                }
            }
        }
        if (!std::isfinite(carry))
            carry = value0 * y0 * static_cast<double>((*a->as_of - before.as_of).count()) / 365;
        // The yield's move in three parts: along yesterday's curve as the bond shortened, the
        // curve's own move at today's maturity, and the rest (the spread's).
        const double curve_then = analytics.curve().yield_at(before.as_of, a->time_to_maturity);
        double roll_dy = curve_then - before.curve, rates_dy = a->curve_yield - curve_then;
        if (!std::isfinite(roll_dy) || !std::isfinite(rates_dy)) roll_dy = rates_dy = 0;
        const double spread_dy = a->ytm - before.ytm - roll_dy - rates_dy;
        auto move = [&](double dy_percent) {
            const double dy = dy_percent / 100;
            if (!std::isfinite(before.duration) || !std::isfinite(before.convexity)) return 0.0;
            return value0 * (-before.duration * dy + 0.5 * before.convexity * dy * dy);
        };
        roll = move(roll_dy);
        rates = move(rates_dy);
        spread = move(spread_dy);
    }
    if (q0 != 0 || q1 != 0 || trading != 0 || market != 0) {
        const BondDay& row = bond_days_.emplace_back(
            BondDay{date,
                    today.bond,
                    {carry, roll, rates, spread, trading, market - carry - roll - rates - spread}});
        for (std::size_t k = 0; k < BOND_TERMS; ++k) day_[k] += row.terms[k];
    }

    Held after;
    after.quantity = q1;
    after.mark = mark;
    after.receivable = today.receivable;
    if (a && a->as_of) {
        after.ytm = a->ytm;
        after.duration = a->modified_duration;
        after.convexity = a->convexity;
        after.curve = a->curve_yield;
        after.as_of = *a->as_of;
        after.priced = std::isfinite(a->ytm);
    }
    if (q1 == 0 || !today.held) return after;

    // What the book holds and how it moves with rates.
    const double value = q1 * mark;
    const double dv01 = a ? q1 * a->dv01 : NAN;
    holdings_.push_back({date, today.bond, q1, a ? a->clean_price : NAN, mark,
                         a ? a->accrued_interest : NAN, today.pledged,
                         static_cast<float>(a ? a->modified_duration : NAN),
                         static_cast<float>(a ? a->dv01 : NAN)});
    if (!std::isfinite(dv01)) return after;
    if (std::isfinite(a->modified_duration)) risk_.duration_value += a->modified_duration * value;
    // The holding's DV01 split between the key rates as its payments' own sensitivities are.
    const double log_growth = std::log1p(std::isfinite(a->ytm) ? a->ytm / 100 : 0.0);
    double total = 0;
    key_rate_weights_.clear();
    for (const RemainingPayment& pay : a->cash_flows) {
        const double years = static_cast<double>((pay.date - *a->as_of).count()) / 365;
        const double w =
            years <= 0 ? 0.0
                       : (pay.coupon + pay.principal) * years * std::exp(-(years + 1) * log_growth);
        key_rate_weights_.emplace_back(years, w);
        total += w;
    }
    if (total <= 0) {
        add_to_key_rates(risk_.key_rate_dv01, a->time_to_maturity, dv01);
        return after;
    }
    for (auto [years, w] : key_rate_weights_)
        add_to_key_rates(risk_.key_rate_dv01, years, dv01 * w / total);
    return after;
}

void BookHistory::write_attribution(std::ostream& out) const {
    std::string buffer = "date,order_book_id,term,amount\n";
    auto bond = bond_days_.begin();
    for (const BookDay& day : book_days_) {
        const std::string date = korvex::format_date(korvex::date_from_int(day.date));
        for (std::size_t k = 0; k < BOOK_TERMS; ++k)
            put(buffer, "{},,{},{:.6f}\n", date, kTermNames[BOND_TERMS + k], day.terms[k]);
        for (; bond != bond_days_.end() && bond->date == day.date; ++bond)
            for (std::size_t k = 0; k < BOND_TERMS; ++k)
                put(buffer, "{},{},{},{:.6f}\n", date, ids_[bond->bond], kTermNames[k],
                    bond->terms[k]);
        flush(buffer, out);
    }
    flush(buffer, out, true);
}

void BookHistory::write_positions(std::ostream& out) const {
    std::string buffer =
        "date,order_book_id,quantity,clean_price,dirty_price,market_value,accrued_interest,"
        "modified_duration,dv01,pledged_quantity\n";
    for (const HoldingRow& r : holdings_) {
        put(buffer, "{},{},{:.10g},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.10g}\n",
            korvex::format_date(korvex::date_from_int(r.date)), ids_[r.bond], r.quantity, r.clean,
            r.dirty, r.quantity * r.dirty, r.quantity * r.accrued, r.duration, r.quantity * r.dv01,
            r.pledged);
        flush(buffer, out);
    }
    flush(buffer, out, true);
}

}  // namespace korvex_mod_bond
