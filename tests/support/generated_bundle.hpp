// A sample bundle generated once per test process for the given options (no minute bars).
#pragma once

#include <cstdint>
#include <filesystem>

#include "korvex/datetime_func.hpp"

namespace korvex::testing {

const std::filesystem::path& generated_bundle(std::uint64_t seed, Date start, Date end, int bonds);

}  // namespace korvex::testing
