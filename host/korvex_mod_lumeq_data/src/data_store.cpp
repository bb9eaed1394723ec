#include "korvex_mod_lumeq_data/data_store.hpp"

#include <fmt/format.h>

#include "korvex/const.hpp"
#include "korvex/errors.hpp"

namespace korvex_mod_lumeq_data {

H5MinBarStore::H5MinBarStore(std::filesystem::path directory,
                             std::map<std::string, korvex::RecordLayout> dtypes_map)
    : _directory(std::move(directory)), _dtypes_map(std::move(dtypes_map)) {}

korvex::Bars H5MinBarStore::get_bars(const korvex::Instrument& instrument) {
    const std::string& id = instrument.order_book_id();
    return _cache.get_or_compute(id, [&] {
        const std::string key(korvex::layout_key(instrument.type()));
        auto it = _dtypes_map.find(key);
        if (it == _dtypes_map.end())
            throw korvex::KeyError(
                fmt::format("no minute-bar layout for '{}' (instrument type {})", id, key));
        return read_h5_minute_bars(_directory / (id + ".h5"), it->second);
    });
}

}  // namespace korvex_mod_lumeq_data

extern "C" korvex::AbstractMinBarStore* korvex_lumeq_make_h5_minbar_store(
    const char* directory, const std::map<std::string, korvex::RecordLayout>* dtypes_map) {
    if (directory == nullptr)
        throw korvex::ValueError("korvex_lumeq_make_h5_minbar_store: directory is null");
    return new korvex_mod_lumeq_data::H5MinBarStore(
        directory, dtypes_map ? *dtypes_map : std::map<std::string, korvex::RecordLayout>{});
}
