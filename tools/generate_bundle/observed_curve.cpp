#include "observed_curve.hpp"

#include <fmt/format.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "korvex/errors.hpp"

namespace korvex_generate {

namespace {

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> cells(1);
    for (const char c : line) {
        if (c == ',')
            cells.emplace_back();
        else if (c != '\r')
            cells.back() += c;
    }
    return cells;
}

bool parse_number(const std::string& text, double& out) {
    std::size_t used = 0;
    try {
        out = std::stod(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size() && std::isfinite(out);
}

}  // namespace

tavlen::YieldCurve read_curve_csv(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw korvex::ValueError(fmt::format("--curve {}: cannot be read", path.string()));
    auto fail = [&](std::size_t line, const std::string& what) {
        throw korvex::ValueError(fmt::format("--curve {}:{}: {}", path.string(), line, what));
    };
    std::string line;
    std::size_t n = 0;
    if (!std::getline(in, line) ||
        split(line) != std::vector<std::string>{"date", "tenor_years", "yield_pct"})
        fail(1, "the header must be date,tenor_years,yield_pct");
    tavlen::YieldCurve curve;
    for (n = 2; std::getline(in, line); ++n) {
        if (line.empty() || line == "\r") continue;
        const auto cells = split(line);
        if (cells.size() != 3) fail(n, fmt::format("expected 3 cells, got {}", cells.size()));
        korvex::Date day;
        try {
            day = korvex::parse_date(cells[0]);
        } catch (const korvex::ValueError&) {
            fail(n, fmt::format("'{}' is not a date (YYYY-MM-DD)", cells[0]));
        }
        double tenor = 0, yield = 0;
        if (!parse_number(cells[1], tenor) || tenor < 0)
            fail(n, fmt::format("'{}' is not a tenor (years, 0 or more)", cells[1]));
        if (!parse_number(cells[2], yield))
            fail(n, fmt::format("'{}' is not a yield in percent", cells[2]));
        if (curve.size() > 0) {
            const korvex::Date last = curve.dates.back();
            if (day < last || (day == last && tenor <= curve.tenors.back()))
                fail(n, "points must ascend by date, then by tenor");
        }
        curve.append(day, tenor, yield);
    }
    if (curve.size() == 0) fail(n, "the file holds no curve point");
    return curve;
}

}  // namespace korvex_generate
