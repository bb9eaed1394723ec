// The host's data source: stores registered by instrument type (day bars, minute bars),
// instrument stores, and trading calendars by calendar type. The default (exchange) calendar
// is read from the data bundle's trading_dates.txt.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "korvex/config.hpp"
#include "korvex/interface.hpp"

namespace korvex {

// The entries of `base.future_info` for a data source: nested tables by dotted key
// ("IF.margin_rate"); empty when the configuration has none.
std::map<std::string, Value> future_info_of(const Config& config);

class BaseDataSource {
public:
    BaseDataSource(std::filesystem::path bundle_path, std::map<std::string, Value> future_info);
    virtual ~BaseDataSource() = default;

    void register_day_bar_store(INSTRUMENT_TYPE type, std::shared_ptr<AbstractDayBarStore> store);
    void register_instruments_store(std::shared_ptr<AbstractInstrumentStore> store);
    void register_calendar_store(TRADING_CALENDAR_TYPE type,
                                 std::shared_ptr<AbstractCalendarStore> store);
    void register_minbar_store(INSTRUMENT_TYPE type, std::shared_ptr<AbstractMinBarStore> store);
    // One store serves the quote snapshots of every instrument in tick runs.
    void register_tick_store(std::shared_ptr<AbstractTickStore> store);

    const std::filesystem::path& bundle_path() const { return bundle_path_; }
    const std::map<std::string, Value>& future_info() const { return future_info_; }

    AbstractDayBarStore* day_bar_store(INSTRUMENT_TYPE type) const;
    AbstractMinBarStore* minbar_store(INSTRUMENT_TYPE type) const;
    AbstractTickStore* tick_store() const { return tick_store_.get(); }
    AbstractCalendarStore* calendar_store(TRADING_CALENDAR_TYPE type) const;
    const std::vector<std::shared_ptr<AbstractInstrumentStore>>& instrument_stores() const {
        return instrument_stores_;
    }

    // Trading days of a calendar, ascending. EXCHANGE falls back to the bundle's file.
    // RuntimeError naming the calendar when none is available.
    std::vector<Date> get_trading_calendar(TRADING_CALENDAR_TYPE type) const;
    bool has_calendar(TRADING_CALENDAR_TYPE type) const;

    std::string to_string() const;  // "BaseDataSource(<bundle path>)"

private:
    std::filesystem::path bundle_path_;
    std::map<std::string, Value> future_info_;
    std::map<INSTRUMENT_TYPE, std::shared_ptr<AbstractDayBarStore>> day_bar_stores_;
    std::map<INSTRUMENT_TYPE, std::shared_ptr<AbstractMinBarStore>> minbar_stores_;
    std::shared_ptr<AbstractTickStore> tick_store_;
    std::map<TRADING_CALENDAR_TYPE, std::shared_ptr<AbstractCalendarStore>> calendar_stores_;
    std::vector<std::shared_ptr<AbstractInstrumentStore>> instrument_stores_;
};

// Reads the exchange calendar file of a bundle: one YYYYMMDD per line, ascending.
std::vector<Date> read_trading_dates_file(const std::filesystem::path& path);

}  // namespace korvex
