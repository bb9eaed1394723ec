// Quote snapshots for tick runs from one HDF5 file per instrument, <directory>/<order_book_id>.h5:
// dataset "data" of a compound type whose members carry the field names of korvex::tick_layout()
// (read like the minute-bar files: by name, widths converted, datetime strictly ascending). The
// store reads a whole file at once, keeps the most recently used ones and answers a day by
// binary search, as a view into the cached array.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "korvex/bars.hpp"
#include "korvex/functools.hpp"
#include "korvex/interface.hpp"

namespace korvex_mod_lumeq_data {

class H5TickStore : public korvex::AbstractTickStore {
public:
    // Tick files are large and a tick run follows few instruments.
    static constexpr std::size_t CACHE_SIZE = 64;

    explicit H5TickStore(std::filesystem::path directory);

    // The snapshots stamped on `trading_date` (00:00:00 included, the next midnight not), in
    // korvex::tick_layout(); empty when there are none or the instrument has no file. ValueError
    // naming the file for a file that cannot serve the layout.
    korvex::Bars get_ticks(const korvex::Instrument& instrument,
                           korvex::Date trading_date) override;

    const std::filesystem::path& directory() const { return _directory; }

private:
    std::filesystem::path _directory;
    korvex::LruCache<std::string, korvex::Bars> _cache{CACHE_SIZE};
};

}  // namespace korvex_mod_lumeq_data
