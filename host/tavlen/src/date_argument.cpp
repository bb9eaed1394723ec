#include "date_argument.hpp"

#include <fmt/format.h>

#include "korvex/datetime_func.hpp"
#include "korvex/errors.hpp"

namespace tavlen::detail {

std::int32_t date_argument(std::string_view name, const std::string& text) {
    try {
        return korvex::convert_date_to_date_int(korvex::parse_date(text));
    } catch (const korvex::ValueError&) {
        throw korvex::ValueError(
            fmt::format("invalid {} '{}': expected a date YYYYMMDD", name, text));
    }
}

}  // namespace tavlen::detail
