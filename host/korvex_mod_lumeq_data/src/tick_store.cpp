#include "korvex_mod_lumeq_data/tick_store.hpp"

#include <cstdint>

#include "h5_io.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/tick.hpp"

namespace korvex_mod_lumeq_data {

H5TickStore::H5TickStore(std::filesystem::path directory) : _directory(std::move(directory)) {}

korvex::Bars H5TickStore::get_ticks(const korvex::Instrument& instrument,
                                    korvex::Date trading_date) {
    const std::string& id = instrument.order_book_id();
    const korvex::Bars& all = _cache.get_or_compute(id, [&] {
        return read_h5_records(_directory / (id + ".h5"), korvex::tick_layout(), "tick");
    });
    // YYYYMMDD + 1 need not be a date: it only has to sort after every stamp of the day.
    const std::int64_t day = korvex::convert_date_to_date_int(trading_date);
    return all.slice(all.lower_bound(day * 1000000), all.lower_bound((day + 1) * 1000000));
}

}  // namespace korvex_mod_lumeq_data
