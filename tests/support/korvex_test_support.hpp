// Test doubles shared by the suites: a temporary folder, a bundle with a calendar, an
// instrument store and a day-bar store filled by the test.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "korvex/data/base_data_source.hpp"
#include "korvex/interface.hpp"

namespace korvex::testing {

// The message of the error E that f raises; "<no error>" when it raises none.
template <class E, class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error>";
}

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes <dir>/trading_dates.txt with the given days.
void write_trading_dates(const std::filesystem::path& dir, const std::vector<Date>& days);
// Weekdays from first to last inclusive.
std::vector<Date> weekdays(Date first, Date last);

class FakeInstrumentStore : public AbstractInstrumentStore {
public:
    FakeInstrumentStore(INSTRUMENT_TYPE type, std::vector<InstrumentPtr> instruments);
    INSTRUMENT_TYPE instrument_type() const override { return type_; }
    const std::vector<std::string>& all_id_and_syms() const override { return ids_; }
    InstrumentSequence get_instruments(
        std::optional<std::vector<std::string>> id_or_syms) const override;

private:
    INSTRUMENT_TYPE type_;
    std::vector<InstrumentPtr> instruments_;
    std::vector<std::string> ids_;
};

// A plain instrument of the given type (a stock unless said otherwise).
InstrumentPtr make_instrument(const std::string& id, INSTRUMENT_TYPE type = INSTRUMENT_TYPE::CS,
                              double round_lot = 100);

struct SimpleBar {
    std::uint64_t datetime;
    double open, close, high, low, volume;
};
static_assert(sizeof(SimpleBar) == 48);
const RecordLayout& simple_bar_layout();

class FakeDayBarStore : public AbstractDayBarStore {
public:
    void set(const std::string& id, std::vector<SimpleBar> bars);
    // One bar per day with the given closes (open = close, volume as given).
    void set_closes(const std::string& id, const std::vector<Date>& days,
                    const std::vector<double>& closes, double volume = 1e9);
    Bars get_bars(const std::string& order_book_id) override;
    int calls = 0;

private:
    std::map<std::string, std::shared_ptr<const std::vector<SimpleBar>>> bars_;
};

// A snapshot with one quoted level a side (the deeper levels empty).
TickRecord make_tick(std::int64_t stamp, double last, double bid, double bid_vol, double ask,
                     double ask_vol);

class FakeTickStore : public AbstractTickStore {
public:
    // Snapshots of one instrument, ascending.
    void set(const std::string& id, std::vector<TickRecord> ticks);
    Bars get_ticks(const Instrument& instrument, Date trading_date) override;
    int calls = 0;

private:
    std::map<std::string, std::shared_ptr<const std::vector<TickRecord>>> ticks_;
};

}  // namespace korvex::testing
