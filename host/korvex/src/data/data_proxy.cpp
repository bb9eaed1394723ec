#include "korvex/data/data_proxy.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "korvex/errors.hpp"

namespace korvex {

DataProxy::DataProxy(std::shared_ptr<BaseDataSource> source) : source_(std::move(source)) {}

void DataProxy::index_instruments() const {
    if (indexed_) return;
    std::unordered_map<std::string, InstrumentPtr> index;
    std::vector<std::string> order;
    std::exception_ptr refused;
    for (auto& store : source_->instrument_stores()) {
        // A store that cannot answer (its data access refused) leaves the others usable.
        std::vector<InstrumentPtr> listed;
        try {
            for (auto& ins : store->get_instruments(std::nullopt)) listed.push_back(ins);
        } catch (const std::exception&) {
            if (!refused) refused = std::current_exception();
            continue;
        }
        for (auto& ins : listed)
            if (index.emplace(ins->order_book_id(), ins).second)
                order.push_back(ins->order_book_id());
    }
    instruments_ = std::move(index);
    instrument_order_ = std::move(order);
    refused_ = refused;
    indexed_ = true;
}

void DataProxy::refresh() {
    indexed_ = false;
    instruments_.clear();
    instrument_order_.clear();
    refused_ = nullptr;
    calendars_.clear();
}

InstrumentPtr DataProxy::find_instrument(const std::string& order_book_id) const {
    index_instruments();
    auto it = instruments_.find(order_book_id);
    if (it != instruments_.end()) return it->second;
    // Not among what the stores listed: it may be among what a refusing store would have.
    if (refused_) std::rethrow_exception(refused_);
    return nullptr;
}

InstrumentPtr DataProxy::instruments(const std::string& order_book_id) const {
    if (auto ins = find_instrument(order_book_id)) return ins;
    throw KeyError(fmt::format("unknown order book id: {}", order_book_id));
}

std::vector<InstrumentPtr> DataProxy::all_instruments(std::optional<INSTRUMENT_TYPE> type) const {
    index_instruments();
    if (refused_) std::rethrow_exception(refused_);  // the list would be incomplete
    std::vector<InstrumentPtr> out;
    for (auto& id : instrument_order_) {
        auto& ins = instruments_.at(id);
        if (!type || ins->type() == *type) out.push_back(ins);
    }
    return out;
}

Bars DataProxy::day_bars_full(const std::string& order_book_id) const {
    auto ins = instruments(order_book_id);
    auto* store = source_->day_bar_store(ins->type());
    return store ? store->get_bars(order_book_id) : Bars();
}

Bars DataProxy::minute_bars_full(const std::string& order_book_id) const {
    auto ins = instruments(order_book_id);
    auto* store = source_->minbar_store(ins->type());
    return store ? store->get_bars(*ins) : Bars();
}

Bars DataProxy::ticks_full(const std::string& order_book_id, Date trading_date) const {
    auto ins = instruments(order_book_id);
    auto* store = source_->tick_store();
    return store ? store->get_ticks(*ins, trading_date) : Bars();
}

namespace {
constexpr std::int64_t kEveryStamp = std::numeric_limits<std::int64_t>::max();
// The bars stamped at or before `last`: the front of the array, shared.
Bars known_part(const Bars& bars, std::int64_t last) {
    if (last == kEveryStamp || bars.empty()) return bars;
    return bars.slice(0, bars.lower_bound(last + 1));
}
}  // namespace

std::int64_t DataProxy::known_day_stamp() const {
    if (!clock_) return kEveryStamp;
    // A day's bar is known from its close (15:00) on; before it, the previous days' bars are.
    const Date today = to_date(*clock_);
    const bool closed = *clock_ >= DateTime(today) + std::chrono::hours(15);
    return convert_date_to_int(today) + (closed ? 235959 : -1);
}

std::int64_t DataProxy::known_intraday_stamp() const {
    // A minute bar is stamped at the end of its minute, a snapshot at its time.
    return clock_ ? convert_date_to_int(*clock_) : kEveryStamp;
}

Bars DataProxy::day_bars(const std::string& order_book_id) const {
    return known_part(day_bars_full(order_book_id), known_day_stamp());
}

Bars DataProxy::minute_bars(const std::string& order_book_id) const {
    return known_part(minute_bars_full(order_book_id), known_intraday_stamp());
}

Bars DataProxy::ticks(const std::string& order_book_id, Date trading_date) const {
    if (clock_ && trading_date > to_date(*clock_)) {
        instruments(order_book_id);  // an unknown id is still an error
        return Bars();
    }
    return known_part(ticks_full(order_book_id, trading_date), known_intraday_stamp());
}

Bars DataProxy::history_bars(const std::string& order_book_id, std::size_t count,
                             const std::string& frequency) const {
    Bars bars;
    if (frequency == "1d")
        bars = day_bars(order_book_id);
    else if (frequency == "1m")
        bars = minute_bars(order_book_id);
    else
        throw ValueError(fmt::format("history_bars of {}: frequency '{}' is not one of 1d, 1m",
                                     order_book_id, frequency));
    return bars.slice(bars.size() > count ? bars.size() - count : 0, bars.size());
}

const std::vector<Date>& DataProxy::trading_calendar(
    std::optional<TRADING_CALENDAR_TYPE> type) const {
    auto t = type.value_or(TRADING_CALENDAR_TYPE::EXCHANGE);
    auto it = calendars_.find(t);
    if (it == calendars_.end()) it = calendars_.emplace(t, source_->get_trading_calendar(t)).first;
    return it->second;
}

bool DataProxy::is_trading_date(DateTime dt, std::optional<TRADING_CALENDAR_TYPE> type) const {
    auto& cal = trading_calendar(type);
    return std::binary_search(cal.begin(), cal.end(), to_date(dt));
}

DateTime DataProxy::get_next_trading_date(Date date, int n,
                                          std::optional<TRADING_CALENDAR_TYPE> type) const {
    auto& cal = trading_calendar(type);
    auto it = std::upper_bound(cal.begin(), cal.end(), date);
    auto idx = static_cast<std::size_t>(it - cal.begin()) + static_cast<std::size_t>(n - 1);
    if (n < 1 || idx >= cal.size())
        throw ValueError(fmt::format("no trading date {} after {} in the calendar (it ends {})", n,
                                     format_date(date),
                                     cal.empty() ? std::string("empty") : format_date(cal.back())));
    return DateTime(cal[idx]);
}

DateTime DataProxy::get_previous_trading_date(Date date, int n,
                                              std::optional<TRADING_CALENDAR_TYPE> type) const {
    auto& cal = trading_calendar(type);
    auto it = std::lower_bound(cal.begin(), cal.end(), date);
    auto before = it - cal.begin();
    if (n < 1 || before < n)
        throw ValueError(
            fmt::format("no trading date {} before {} in the calendar", n, format_date(date)));
    return DateTime(cal[static_cast<std::size_t>(before - n)]);
}

std::vector<Date> DataProxy::get_trading_dates(Date start, Date end,
                                               std::optional<TRADING_CALENDAR_TYPE> type) const {
    auto& cal = trading_calendar(type);
    auto lo = std::lower_bound(cal.begin(), cal.end(), start);
    auto hi = std::upper_bound(cal.begin(), cal.end(), end);
    return lo < hi ? std::vector<Date>(lo, hi) : std::vector<Date>{};
}

}  // namespace korvex
