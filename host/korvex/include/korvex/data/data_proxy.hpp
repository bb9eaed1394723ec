// What strategies and components ask of market data: instruments by id, bars, and the trading
// calendars. Instruments are indexed once in a hash map; calendars are sorted vectors searched
// by binary search.
//
// During a run the proxy follows the run's clock: bars and snapshots answer only what was known
// at the current time (a day's bar from its close on, a minute bar from the end of its minute, a
// snapshot from its stamp). The engine's own cursors and matchers, which decide themselves what a
// bar may be used for, read the whole arrays through the *_full calls.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvex/data/base_data_source.hpp"

namespace korvex {

class DataProxy {
public:
    explicit DataProxy(std::shared_ptr<BaseDataSource> source);

    BaseDataSource& data_source() const { return *source_; }

    // KeyError "unknown order book id: X" when no store serves the id.
    InstrumentPtr instruments(const std::string& order_book_id) const;
    InstrumentPtr find_instrument(const std::string& order_book_id) const;  // null when unknown
    std::vector<InstrumentPtr> all_instruments(std::optional<INSTRUMENT_TYPE> type = {}) const;

    // Daily bars of an instrument known now (a view of its store's cached array); empty when
    // none.
    Bars day_bars(const std::string& order_book_id) const;
    Bars minute_bars(const std::string& order_book_id) const;
    // One trading day's quote snapshots of an instrument known now; empty without a tick store.
    Bars ticks(const std::string& order_book_id, Date trading_date) const;
    // The last `count` bars known now at frequency "1d" or "1m" (ValueError otherwise): a view,
    // no copy.
    Bars history_bars(const std::string& order_book_id, std::size_t count,
                      const std::string& frequency = "1d") const;

    // The whole arrays, later bars included; the same as the calls above outside a run.
    Bars day_bars_full(const std::string& order_book_id) const;
    Bars minute_bars_full(const std::string& order_book_id) const;
    Bars ticks_full(const std::string& order_book_id, Date trading_date) const;

    // The run's current time, which the clocked calls follow; null (the default) lifts the cut.
    void set_clock(const DateTime* now) { clock_ = now; }
    const DateTime* clock() const { return clock_; }
    // The last stamp known now: for a day bar, for a minute bar or snapshot. Without a clock,
    // every stamp.
    std::int64_t known_day_stamp() const;
    std::int64_t known_intraday_stamp() const;

    bool is_trading_date(DateTime dt, std::optional<TRADING_CALENDAR_TYPE> type = {}) const;
    // The n-th trading day after `date` (midnight date-time).
    DateTime get_next_trading_date(Date date, int n = 1,
                                   std::optional<TRADING_CALENDAR_TYPE> type = {}) const;
    DateTime get_previous_trading_date(Date date, int n = 1,
                                       std::optional<TRADING_CALENDAR_TYPE> type = {}) const;
    std::vector<Date> get_trading_dates(Date start, Date end,
                                        std::optional<TRADING_CALENDAR_TYPE> type = {}) const;
    const std::vector<Date>& trading_calendar(std::optional<TRADING_CALENDAR_TYPE> type = {}) const;

    // Forgets what it has indexed: the data source's stores have changed.
    void refresh();

private:
    void index_instruments() const;

    std::shared_ptr<BaseDataSource> source_;
    const DateTime* clock_ = nullptr;
    mutable bool indexed_ = false;
    mutable std::unordered_map<std::string, InstrumentPtr> instruments_;
    mutable std::vector<std::string> instrument_order_;
    mutable std::exception_ptr refused_;  // the first error of a store that could not list
    mutable std::map<TRADING_CALENDAR_TYPE, std::vector<Date>> calendars_;
};

}  // namespace korvex
