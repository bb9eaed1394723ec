// Generates a complete sample bundle: the exchange calendar file, the client's SQLite database
// and bond minute bars and quote snapshots, deterministically from a seed. The bundle is built
// under a temporary name beside its destination and renamed into place only when complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "korvex/datetime_func.hpp"

namespace korvex_generate {

struct GeneratorOptions {
    std::filesystem::path out;
    std::uint64_t seed = 42;
    korvex::Date start = korvex::make_date(2018, 1, 2);
    korvex::Date end = korvex::make_date(2023, 12, 29);
    int bonds = 150;
    int minute_bonds = 4;
    bool force = false;  // replace an existing bundle at `out`
    // An observed treasury curve (date,tenor_years,yield_pct) to value on; empty: the modelled one.
    std::filesystem::path curve;
};

struct GeneratorSummary {
    std::size_t bonds = 0;  // with market data
    std::size_t other_ids = 0;
    std::size_t repos = 0;
    std::size_t valuation_rows = 0;
    std::size_t price_rows = 0;
    std::size_t repo_rows = 0;
    std::size_t minute_files = 0;
    std::size_t ticks = 0;  // quote snapshots, all bonds
    std::size_t curve_points = 0;
};

// The name the generated bundle's treasury curve is stored under.
inline constexpr const char* TREASURY_CURVE = "treasury";

// Receives one human-readable line per step.
using Progress = std::function<void(const std::string&)>;

// korvex::ValueError for options out of range or an existing bundle without `force`;
// std::runtime_error for failures while writing (nothing is left behind).
GeneratorSummary generate_bundle(const GeneratorOptions& options, const Progress& progress = {});

// Minute bars cover this many exchange trading days at the end of the span.
constexpr int MINUTE_BAR_DAYS = 20;
// Quote snapshots cover the last this many of them.
constexpr int TICK_DAYS = 5;
static_assert(TICK_DAYS <= MINUTE_BAR_DAYS);

}  // namespace korvex_generate
