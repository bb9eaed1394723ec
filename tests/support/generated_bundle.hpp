// A sample bundle generated once per test process for the given options; minute bars and quote
// snapshots only for `minute_bonds` exchange bonds (none by default).
#pragma once

#include <cstdint>
#include <filesystem>

#include "korvex/datetime_func.hpp"

namespace korvex::testing {

const std::filesystem::path& generated_bundle(std::uint64_t seed, Date start, Date end, int bonds,
                                              int minute_bonds = 0);

}  // namespace korvex::testing
