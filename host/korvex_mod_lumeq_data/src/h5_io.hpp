// The one reader behind the minute-bar and tick stores.
#pragma once

#include <filesystem>
#include <string_view>

#include "korvex/bars.hpp"

namespace korvex_mod_lumeq_data {

// read_h5_minute_bars for any kind of record file; `kind` ("minute-bar", "tick") names the file
// in errors.
korvex::Bars read_h5_records(const std::filesystem::path& path, const korvex::RecordLayout& layout,
                             std::string_view kind);

}  // namespace korvex_mod_lumeq_data
