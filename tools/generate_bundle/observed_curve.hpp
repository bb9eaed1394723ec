// A published yield curve the generator can value treasuries on instead of its modelled one:
// a CSV file of one point per line, `date,tenor_years,yield_pct` (the layout ChinaBond's
// history is kept in under market_history/).
#pragma once

#include <filesystem>

#include "tavlen/bond.hpp"

namespace korvex_generate {

// The points ascending by day and tenor. korvex::ValueError naming the file and line for a
// header or cell that does not fit, or a day or tenor out of order.
tavlen::YieldCurve read_curve_csv(const std::filesystem::path& path);

// The tenors (years) the generator writes its modelled curve at: ChinaBond's standard ones.
inline constexpr double STANDARD_TENORS[] = {0.0, 0.08, 0.17, 0.25, 0.5,  0.75, 1.0,
                                             2.0, 3.0,  4.0,  5.0,  6.0,  7.0,  8.0,
                                             9.0, 10.0, 15.0, 20.0, 30.0, 40.0, 50.0};

}  // namespace korvex_generate
