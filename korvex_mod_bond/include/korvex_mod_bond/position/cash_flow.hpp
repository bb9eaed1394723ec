// Coupon and principal schedules of bonds, built from the market-data client's cash-flow tables
// and answered per day by one binary search. Two schedules exist: the realized one (payments
// only) and the implied one (payments plus the amount that becomes receivable each day). Both
// are cached per bond id, 1024 ids each, by the run's CashFlowSchedules.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/functools.hpp"
#include "tavlen/table.hpp"

namespace korvex_mod_bond {

// Plain aligned structs, described by the aligned layouts below: a packed record would leave its
// doubles misaligned.
struct CashFlowRecord {
    std::int32_t payment_date;     // YYYYMMDD
    double cash_flow;              // paid per unit that day
    double cum_principal_payment;  // principal repaid per unit up to and including that day
};
struct ImpliedCashFlowRecord {
    std::int32_t date;  // YYYYMMDD
    double cash_flow;
    double cum_principal_payment;
    double payment_receivable;  // becomes receivable per unit that day
};
static_assert(sizeof(CashFlowRecord) == 24);
static_assert(sizeof(ImpliedCashFlowRecord) == 32);

// A later record added to an earlier one due the same day: the amounts add up, the cumulative
// principal is the later one's.
inline void add_into(CashFlowRecord& into, const CashFlowRecord& later) {
    into.cash_flow += later.cash_flow;
    into.cum_principal_payment = later.cum_principal_payment;
}
inline void add_into(ImpliedCashFlowRecord& into, const ImpliedCashFlowRecord& later) {
    into.cash_flow += later.cash_flow;
    into.payment_receivable += later.payment_receivable;
    into.cum_principal_payment = later.cum_principal_payment;
}

inline const korvex::RecordLayout CASH_FLOW_DTYPES = korvex::RecordLayout::aligned(
    {{"payment_date", "<i4"}, {"cash_flow", "<f8"}, {"cum_principal_payment", "<f8"}});
inline const korvex::RecordLayout IMPLIED_CASH_FLOW_DTYPES =
    korvex::RecordLayout::aligned({{"date", "<i4"},
                                   {"cash_flow", "<f8"},
                                   {"cum_principal_payment", "<f8"},
                                   {"payment_receivable", "<f8"}});

// Principal repaid per unit by the end of `day` (its own payment included): a binary search.
template <class Record>
double cum_principal_through(const std::shared_ptr<const std::vector<Record>>& schedule,
                             std::int32_t Record::*date, korvex::Date day) {
    if (!schedule) return 0.0;
    const std::int32_t d = korvex::convert_date_to_date_int(day);
    auto it = std::upper_bound(schedule->begin(), schedule->end(), d,
                               [&](std::int32_t v, const Record& r) { return v < r.*date; });
    return it == schedule->begin() ? 0.0 : std::prev(it)->cum_principal_payment;
}

// Null: the client has no cash flows for the bond.
using CashFlowSchedule = std::shared_ptr<const std::vector<CashFlowRecord>>;
using ImpliedCashFlowSchedule = std::shared_ptr<const std::vector<ImpliedCashFlowRecord>>;

// Capacity of each schedule cache, in bond ids.
inline constexpr std::size_t CASH_FLOW_CACHE_SIZE = 1024;

// Schedules from client tables; null for a null or empty table. Rows are sorted by date (ties
// by the remaining fields in record order) before the principal is summed, so the running sum
// follows the dates whatever order the client delivered the rows in. KeyError when the table
// lacks the date level or a column; ValueError naming the bond, column and day for a missing
// (NaN) value.
CashFlowSchedule build_real_cash_flow(const std::string& order_book_id, const tavlen::Table* table);
ImpliedCashFlowSchedule build_implied_cash_flow(const std::string& order_book_id,
                                                const tavlen::Table* table);

// Owns the two caches of one run; bond positions share it.
class CashFlowSchedules {
public:
    CashFlowSchedules() : real_(CASH_FLOW_CACHE_SIZE), implied_(CASH_FLOW_CACHE_SIZE) {}

    // `order_book_ids` is one bond id (the name is the interface's). The client is asked on a
    // miss only; its errors pass through and leave the cache unchanged. The reference is valid
    // until the next call, which may evict the entry: copy the pointer to keep the schedule.
    const CashFlowSchedule& _all_real_cash_flow(const std::string& order_book_ids);
    const ImpliedCashFlowSchedule& _all_implied_cash_flow(const std::string& order_book_ids);

    const korvex::LruCache<std::string, CashFlowSchedule>& real_cache() const { return real_; }

    const korvex::LruCache<std::string, ImpliedCashFlowSchedule>& implied_cache() const {
        return implied_;
    }

private:
    korvex::LruCache<std::string, CashFlowSchedule> real_;
    korvex::LruCache<std::string, ImpliedCashFlowSchedule> implied_;
};

// One position's view of a schedule: asked of the run's caches on first use and then kept
// (schedules never change during a run, and a book of more bonds than the caches hold would
// otherwise fetch every schedule again every day), searched by day, and remembering the row of
// the day last asked for, since before_trading and settlement of a day ask for the same day.
// Days mostly move forward a little at a time and payments are months apart, so a lookup first
// checks the place of the previous one and searches only when the day has left it.
//
// Records due on the same day are one: a coupon row and a principal row on maturity day are
// both paid. A record dated on a day the run does not visit (an inter-bank payment on a day the
// exchanges are closed) would never be found by its date and its cash would be lost. Given the
// run's days, such a record is due on the next day the run visits instead, added to whatever is
// due there.
template <class Record>
class DaySchedule {
public:
    // The leftmost record due on `day`, or null (no schedule, or no record that day). `load`
    // gives the schedule on the first call; if it throws, the next call asks again. `run_days`
    // (called with the schedule) gives the run's trading days, ascending, or null: every record
    // is then due on its own date.
    template <class Load, class RunDays>
    [[gnu::always_inline]] const Record* row(korvex::Date day, std::int32_t Record::*date_field,
                                             Load&& load, RunDays&& run_days) {
        if (_has_day && day == _day) return _row;
        if (!_loaded) {
            auto schedule = load();
            set(std::move(schedule), date_field, run_days());
        }
        return find(day);
    }
    template <class Load>
    const Record* row(korvex::Date day, std::int32_t Record::*date_field, Load&& load) {
        return row(day, date_field, std::forward<Load>(load),
                   []() -> const std::vector<korvex::Date>* { return nullptr; });
    }
    // The record before `row` in date order, or null for the first.
    const Record* previous(const Record* row) const {
        return row && _schedule && row != _schedule->data() ? row - 1 : nullptr;
    }
    // The day on which `row`, or the first later record for which `pays` is true, is due;
    // none when no such record follows.
    template <class Pays>
    std::optional<korvex::Date> next_due_day(const Record* row, Pays&& pays) const {
        if (!row || !_schedule) return std::nullopt;
        for (std::size_t i = static_cast<std::size_t>(row - _schedule->data()); i < _days.size();
             ++i)
            if (pays((*_schedule)[i])) return korvex::Date(korvex::Date::duration(_days[i]));
        return std::nullopt;
    }

private:
    [[gnu::noinline]] void set(std::shared_ptr<const std::vector<Record>> schedule,
                               std::int32_t Record::*date_field,
                               const std::vector<korvex::Date>* run_days) {
        // The records' due days as day numbers: the same order, and no conversion of the asked
        // day on every lookup.
        std::vector<std::int32_t> days;
        std::vector<Record> merged;  // only when records join
        bool merging = false;
        if (schedule) {
            days.reserve(schedule->size());
            for (std::size_t k = 0; k < schedule->size(); ++k) {
                const Record& r = (*schedule)[k];
                korvex::Date due = korvex::date_from_int(r.*date_field);
                if (run_days && !run_days->empty() && due > run_days->front() &&
                    due < run_days->back() &&
                    !std::binary_search(run_days->begin(), run_days->end(), due)) {
                    due = *std::upper_bound(run_days->begin(), run_days->end(), due);
                }
                const auto d = static_cast<std::int32_t>(due.time_since_epoch().count());
                // A record due on the day of the one before it joins that one.
                if (!days.empty() && days.back() == d) {
                    if (!merging) merged.assign(schedule->begin(), schedule->begin() + k);
                    merging = true;
                    add_into(merged.back(), r);
                    continue;
                }
                days.push_back(d);
                if (merging) merged.push_back(r);
            }
        }
        if (merging)
            _schedule = std::make_shared<const std::vector<Record>>(std::move(merged));
        else
            _schedule = std::move(schedule);
        _days = std::move(days);
        _place = 0;
        _loaded = true;
    }
    const Record* find(korvex::Date day) {
        const auto d = static_cast<std::int32_t>(day.time_since_epoch().count());
        const std::size_t n = _days.size();
        std::size_t i = _place;  // first record dated on or after the previous day asked for
        if (i > 0 && _days[i - 1] >= d)
            i = static_cast<std::size_t>(
                std::lower_bound(_days.begin(), _days.begin() + static_cast<std::ptrdiff_t>(i), d) -
                _days.begin());
        else if (i < n && _days[i] < d)
            i = static_cast<std::size_t>(
                std::lower_bound(_days.begin() + static_cast<std::ptrdiff_t>(i) + 1, _days.end(),
                                 d) -
                _days.begin());
        _place = i;
        _row = i == n || _days[i] != d ? nullptr : &(*_schedule)[i];
        _day = day;
        _has_day = true;
        return _row;
    }

    std::shared_ptr<const std::vector<Record>> _schedule;
    std::vector<std::int32_t> _days;
    std::size_t _place = 0;
    bool _loaded = false;
    bool _has_day = false;
    korvex::Date _day{};
    const Record* _row = nullptr;
};

}  // namespace korvex_mod_bond
