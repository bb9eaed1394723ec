#include "korvex_mod_bond/benchmark.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <numeric>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position.hpp"

namespace korvex_mod_bond {

namespace {

// Bonds this close to maturity leave the index at a rebalance; a close older than this does not
// price one into it.
constexpr std::chrono::days INDEX_MIN_LIFE{30}, INDEX_STALE_PRICE{10};

// One bond of the benchmark: its bars read up to the close, and a holding of no quantity that
// answers what a holding is owed each morning.
struct Member {
    std::string id;
    korvex::Bars bars;
    const korvex::FieldSpec* close = nullptr;
    std::size_t next = 0;  // the first bar not yet known
    double price = NAN;    // the latest dirty close known
    korvex::Date priced{};
    double units = 0;
    bool repaid = false;
    std::unique_ptr<BondPosition> payments;

    // Reads the bars up to `day`'s close.
    void advance(korvex::Date day) {
        const std::int64_t upto = korvex::convert_date_to_int(day);
        while (close && next < bars.size() && bars.datetime(next) <= upto) {
            const double v = bars.get(next, *close);
            if (std::isfinite(v)) {
                price = v;
                priced = korvex::to_date(korvex::datetime_from_int(bars.datetime(next)));
            }
            ++next;
        }
    }
};

class Benchmark {
public:
    Benchmark(std::string spec, std::shared_ptr<CashFlowSchedules> schedules)
        : spec_(std::move(spec)), schedules_(std::move(schedules)) {}

    // The book's equity the returns count from: the start's, or the restored close's.
    void set_opening(double equity) { book_start_ = book_before_ = equity; }

    void check(korvex::Environment& env) {
        if (spec_ == TREASURY_INDEX) return;
        auto ins = env.data_proxy().find_instrument(spec_);
        if (!ins || (ins->type() != korvex::INSTRUMENT_TYPE::BOND &&
                     ins->type() != korvex::INSTRUMENT_TYPE::REPO))
            throw korvex::ValueError(
                fmt::format("mod.bond.benchmark '{}' is neither {} nor a bond or repo of the data",
                            spec_, TREASURY_INDEX));
        repo_ = ins->type() == korvex::INSTRUMENT_TYPE::REPO;
    }

    void record_close(korvex::Environment& env) {
        const korvex::Date day = korvex::to_date(env.trading_dt);
        if (!started_) start(env, day);
        const double before = value_;
        if (repo_) {
            // The rate known at the previous close, for the nights to this one.
            const std::size_t k =
                repo_bars_.find_at_or_before(korvex::convert_date_to_int(previous_));
            const double rate = k == korvex::Bars::npos ? NAN : repo_bars_.get(k, "close");
            if (std::isfinite(rate))
                value_ *= 1 + rate * static_cast<double>((day - previous_).count()) / 365.0;
        } else {
            for (Member& m : members_) {
                cash_ += m.units * m.payments->_get_cash_flow_receivable(day);
                if (m.payments->_get_cash_flow(day).second) m.repaid = true;
                m.advance(day);
            }
            value_ = cash_;  // today's payments in
            for (const Member& m : members_)
                if (!m.repaid && std::isfinite(m.price)) value_ += m.units * m.price;
        }
        const double equity = env.portfolio().total_value();
        active_.push_back((book_before_ != 0 ? equity / book_before_ - 1 : 0.0) -
                          (before != 0 ? value_ / before - 1 : 0.0));
        book_before_ = equity;
        const auto month = [](korvex::Date d) { return std::chrono::year_month_day(d).month(); };
        if (spec_ == TREASURY_INDEX && month(day) != month(previous_)) rebalance(env, day);
        previous_ = day;
    }

    double equity() const { return book_start_ * value_ / start_value_; }
    double benchmark_return() const { return value_ / start_value_ - 1; }
    double excess_return() const {
        return (book_start_ != 0 ? book_before_ / book_start_ - 1 : 0.0) - benchmark_return();
    }
    double tracking_error() const {
        const double n = static_cast<double>(active_.size());
        if (n < 2) return 0.0;
        const double mean = std::accumulate(active_.begin(), active_.end(), 0.0) / n;
        double var = 0;
        for (double a : active_) var += (a - mean) * (a - mean);
        return std::sqrt(var / (n - 1)) * std::sqrt(252.0);
    }
    double information_ratio() const {
        const double te = tracking_error();
        if (te == 0) return 0.0;
        return std::accumulate(active_.begin(), active_.end(), 0.0) /
               static_cast<double>(active_.size()) * 252.0 / te;
    }

private:
    // Valued from the close before the run's first day (its first day's, when the data has none
    // before it).
    void start(korvex::Environment& env, korvex::Date day) {
        started_ = true;
        previous_ = day;
        try {
            previous_ = korvex::to_date(env.data_proxy().get_previous_trading_date(day));
        } catch (const korvex::Error&) {
            // the calendar starts with the run
        }
        if (repo_) {
            repo_bars_ = env.data_proxy().day_bars_full(spec_);
        } else if (spec_ == TREASURY_INDEX) {
            rebalance(env, previous_);
        } else {
            members_.push_back(member(env, spec_));
            Member& m = members_.back();
            m.advance(previous_);
            if (!std::isfinite(m.price)) m.advance(day);  // first priced on the run's first day
            const bool listed = env.data_proxy().instruments(spec_)->listed_at(
                korvex::DateTime(day) + std::chrono::hours(15));
            if (listed && std::isfinite(m.price) && m.price > 0) {
                m.units = value_ / m.price;
                cash_ = 0;
            } else {
                m.units = 0;
                korvex::system_log().warning(fmt::format(
                    "mod.bond.benchmark: {} is not listed and priced on {}: the benchmark stays "
                    "flat",
                    spec_, korvex::format_date(day)));
            }
        }
        start_value_ = value_;
    }

    Member member(korvex::Environment& env, const std::string& id) {
        Member m;
        m.id = id;
        m.bars = env.data_proxy().day_bars_full(id);
        if (!m.bars.empty()) m.close = m.bars.layout()->find("close");
        m.payments = BondPosition::create(id, korvex::POSITION_DIRECTION::LONG, 0, schedules_);
        return m;
    }

    // The government bonds listed and priced at `day`'s close with a month or more to run, by
    // market value (dirty close times the size issued); their payments so far go back in.
    void rebalance(korvex::Environment& env, korvex::Date day) {
        std::vector<Member> chosen;
        double total = 0;
        const korvex::DateTime at = korvex::DateTime(day) + std::chrono::hours(15);
        for (auto& ins : env.data_proxy().all_instruments(korvex::INSTRUMENT_TYPE::BOND)) {
            auto bond = std::dynamic_pointer_cast<const BondInstrument>(ins);
            const korvex::Value* type = ins->record().find("bond_type");
            const korvex::Value* maturity = ins->record().find("maturity_date");
            if (!bond || !type || !type->is_string() || type->as_string() != "government" ||
                !ins->listed_at(at) || !maturity || !maturity->is_datetime() ||
                korvex::to_date(maturity->as_datetime()) < day + INDEX_MIN_LIFE)
                continue;
            const korvex::Value& size = bond->initial_issue_size();
            if (!size.is_number() || !(size.as_double() > 0)) continue;
            Member m = member(env, ins->order_book_id());
            m.advance(day);
            if (!std::isfinite(m.price) || m.price <= 0 || m.priced < day - INDEX_STALE_PRICE)
                continue;
            m.units = size.as_double() / 100.0;  // the market value's face, for now
            total += m.units * m.price;
            chosen.push_back(std::move(m));
        }
        if (total <= 0) {
            if (members_.empty())
                korvex::system_log().warning(fmt::format(
                    "mod.bond.benchmark: no government bond priced at the close of {}: the "
                    "treasury index stays flat",
                    korvex::format_date(day)));
            return;  // keep what is held
        }
        // Units so that each holds its market value's share of the index.
        for (Member& m : chosen) m.units *= value_ / total;
        members_ = std::move(chosen);
        cash_ = 0;
    }

    std::string spec_;
    std::shared_ptr<CashFlowSchedules> schedules_;
    bool repo_ = false, started_ = false;
    korvex::Bars repo_bars_;
    std::vector<Member> members_;
    double cash_ = 1, value_ = 1, start_value_ = 1;  // all cash until invested
    double book_start_ = 0, book_before_ = 0;
    korvex::Date previous_{};
    std::vector<double> active_;  // the book's return less the benchmark's, day by day
};

}  // namespace

void load_benchmark(korvex::Environment& env, const std::string& spec,
                    std::shared_ptr<CashFlowSchedules> schedules) {
    if (spec.empty()) return;
    auto b = std::make_shared<Benchmark>(spec, std::move(schedules));
    env.add_post_system_init([b](korvex::Environment& e) {
        b->check(e);
        b->set_opening(e.portfolio().total_value());
    });
    env.add_state_restored(
        [b](korvex::Environment& e) { b->set_opening(e.portfolio().total_value()); });
    env.add_day_closed([b](korvex::Environment& e) { b->record_close(e); });
    env.add_daily_metric("benchmark_equity", [b](korvex::Environment&) { return b->equity(); });
    env.add_summary_extra("benchmark_return",
                          [b](korvex::Environment&) { return b->benchmark_return(); });
    env.add_summary_extra("excess_return",
                          [b](korvex::Environment&) { return b->excess_return(); });
    env.add_summary_extra("tracking_error",
                          [b](korvex::Environment&) { return b->tracking_error(); });
    env.add_summary_extra("information_ratio",
                          [b](korvex::Environment&) { return b->information_ratio(); });
    env.add_report_section(
        {.title = "Against the benchmark",
         .note = fmt::format("The benchmark ({}) valued from the same starting equity.", spec),
         .panels = {{.title = "Equity",
                     .series = {{"Book", "equity", "#1d4ed8"},
                                {"Benchmark", "benchmark_equity", "#94a3b8"}}}}});
}

}  // namespace korvex_mod_bond
