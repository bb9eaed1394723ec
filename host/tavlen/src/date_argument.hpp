// Date arguments of the client calls: the option structs carry "YYYYMMDD" text, the tables
// store integers YYYYMMDD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavlen::detail {

// ValueError naming the argument and its text when it is not a date.
std::int32_t date_argument(std::string_view name, const std::string& text);

}  // namespace tavlen::detail
