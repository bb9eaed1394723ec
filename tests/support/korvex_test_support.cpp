#include "korvex_test_support.hpp"

#include <algorithm>
#include <fstream>
#include <random>

namespace korvex::testing {

TempDir::TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("korvex-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_trading_dates(const std::filesystem::path& dir, const std::vector<Date>& days) {
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / "trading_dates.txt");
    for (Date d : days) out << convert_date_to_date_int(d) << "\n";
}

std::vector<Date> weekdays(Date first, Date last) {
    std::vector<Date> out;
    for (Date d = first; d <= last; d += std::chrono::days(1)) {
        std::chrono::weekday wd(d);
        if (wd != std::chrono::Saturday && wd != std::chrono::Sunday) out.push_back(d);
    }
    return out;
}

FakeInstrumentStore::FakeInstrumentStore(INSTRUMENT_TYPE type,
                                         std::vector<InstrumentPtr> instruments)
    : type_(type), instruments_(std::move(instruments)) {
    for (auto& i : instruments_) ids_.push_back(i->order_book_id());
}

InstrumentSequence FakeInstrumentStore::get_instruments(
    std::optional<std::vector<std::string>> id_or_syms) const {
    std::vector<InstrumentPtr> chosen;
    for (auto& i : instruments_)
        if (!id_or_syms || std::find(id_or_syms->begin(), id_or_syms->end(), i->order_book_id()) !=
                               id_or_syms->end())
            chosen.push_back(i);
    return InstrumentSequence([chosen] {
        auto pos = std::make_shared<std::size_t>(0);
        return InstrumentSequence::Next([chosen, pos]() -> std::optional<InstrumentPtr> {
            if (*pos >= chosen.size()) return std::nullopt;
            return chosen[(*pos)++];
        });
    });
}

InstrumentPtr make_instrument(const std::string& id, INSTRUMENT_TYPE type, double round_lot) {
    return std::make_shared<Instrument>(Record{{"order_book_id", id},
                                               {"type", std::string(name(type))},
                                               {"round_lot", round_lot},
                                               {"listed_date", make_datetime(1999, 1, 1)},
                                               {"de_listed_date", make_datetime(2999, 12, 31)}});
}

const RecordLayout& simple_bar_layout() {
    static const RecordLayout layout{{"datetime", "<u8"}, {"open", "<f8"}, {"close", "<f8"},
                                     {"high", "<f8"},     {"low", "<f8"},  {"volume", "<f8"}};
    return layout;
}

void FakeDayBarStore::set(const std::string& id, std::vector<SimpleBar> bars) {
    bars_[id] = std::make_shared<const std::vector<SimpleBar>>(std::move(bars));
}

void FakeDayBarStore::set_closes(const std::string& id, const std::vector<Date>& days,
                                 const std::vector<double>& closes, double volume) {
    std::vector<SimpleBar> bars;
    for (std::size_t i = 0; i < days.size() && i < closes.size(); ++i)
        bars.push_back({static_cast<std::uint64_t>(convert_date_to_int(days[i])), closes[i],
                        closes[i], closes[i], closes[i], volume});
    set(id, std::move(bars));
}

Bars FakeDayBarStore::get_bars(const std::string& order_book_id) {
    ++calls;
    auto it = bars_.find(order_book_id);
    if (it == bars_.end()) return Bars();
    return Bars::of(it->second, simple_bar_layout());
}

TickRecord make_tick(std::int64_t stamp, double last, double bid, double bid_vol, double ask,
                     double ask_vol) {
    TickRecord t{};
    t.datetime = stamp;
    t.last = last;
    t.bids[0] = bid;
    t.bid_vols[0] = bid_vol;
    t.asks[0] = ask;
    t.ask_vols[0] = ask_vol;
    return t;
}

void FakeTickStore::set(const std::string& id, std::vector<TickRecord> ticks) {
    ticks_[id] = std::make_shared<const std::vector<TickRecord>>(std::move(ticks));
}

Bars FakeTickStore::get_ticks(const Instrument& instrument, Date trading_date) {
    ++calls;
    auto it = ticks_.find(instrument.order_book_id());
    if (it == ticks_.end()) return Bars();
    Bars all = Bars::of(it->second, tick_layout());
    return all.slice(all.lower_bound(convert_date_to_int(trading_date)),
                     all.lower_bound(convert_date_to_int(trading_date + std::chrono::days(1))));
}

}  // namespace korvex::testing
