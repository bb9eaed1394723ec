// The host's market-data mod: minute bars served from one HDF5 file per instrument,
// <directory>/<order_book_id>.h5, dataset "data" of a compound type whose members carry the
// field names of the instrument type's record layout. The store reads a whole file at once into
// one contiguous buffer laid out by that layout and keeps the most recently used arrays.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <span>
#include <string>

#include "korvex/bars.hpp"
#include "korvex/functools.hpp"
#include "korvex/interface.hpp"

namespace korvex_mod_lumeq_data {

class H5MinBarStore : public korvex::AbstractMinBarStore {
public:
    static constexpr std::size_t CACHE_SIZE = 256;

    // `dtypes_map` maps korvex::layout_key of an instrument type ("Bond") to its bar layout.
    H5MinBarStore(std::filesystem::path directory,
                  std::map<std::string, korvex::RecordLayout> dtypes_map);

    // All minute bars of the instrument, ascending; empty when it has no file. KeyError when
    // the map holds no layout for the instrument's type; ValueError naming the file for a file
    // that cannot serve the layout.
    korvex::Bars get_bars(const korvex::Instrument& instrument) override;

    const std::filesystem::path& directory() const { return _directory; }
    const std::map<std::string, korvex::RecordLayout>& dtypes_map() const { return _dtypes_map; }

private:
    std::filesystem::path _directory;
    std::map<std::string, korvex::RecordLayout> _dtypes_map;  // node-stable: bars point into it
    korvex::LruCache<std::string, korvex::Bars> _cache{CACHE_SIZE};
};

// Reads dataset "data" of `path` in `layout`: empty bars when the file does not exist;
// ValueError naming the file when it is not HDF5, has no dataset "data", lacks a member of the
// layout, or its datetimes do not ascend strictly. `layout` must outlive the bars.
korvex::Bars read_h5_minute_bars(const std::filesystem::path& path,
                                 const korvex::RecordLayout& layout);

// Writes `bytes` (whole records laid out by `layout`: minute bars, ticks) as dataset "data" of a
// new file at `path`, replacing any file there and creating missing parent directories. The file
// carries no time stamps, so equal records give equal bytes.
void write_h5_minute_bars(const std::filesystem::path& path, const korvex::RecordLayout& layout,
                          std::span<const std::byte> bytes);

}  // namespace korvex_mod_lumeq_data

// Looked up with dlsym by mods that register the store themselves, so that they need not link
// this library. Returns a new H5MinBarStore over `directory` with a copy of `*dtypes_map` (an
// empty map when null); the caller owns the result and deletes it through the base class.
// Raises korvex::ValueError when `directory` is null.
extern "C" korvex::AbstractMinBarStore* korvex_lumeq_make_h5_minbar_store(
    const char* directory, const std::map<std::string, korvex::RecordLayout>* dtypes_map);

// The factory's type and symbol name, for the dlsym lookup.
using korvex_lumeq_make_h5_minbar_store_fn =
    korvex::AbstractMinBarStore* (*)(const char*,
                                     const std::map<std::string, korvex::RecordLayout>*);
inline constexpr const char* KORVEX_LUMEQ_MAKE_H5_MINBAR_STORE =
    "korvex_lumeq_make_h5_minbar_store";
