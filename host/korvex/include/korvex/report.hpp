// The HTML report of a run: one self-contained file (no network), charts drawn as inline SVG.
#pragma once

#include <filesystem>

#include "korvex/portfolio/position.hpp"
#include "korvex/runner.hpp"

namespace korvex {

// The deepest fall of equity from a close (or the start, at `start`) to a later close: its depth
// as a share of the peak, and the days (from, to] it spans, counted from 1 (from 0: the start).
struct Drawdown {
    double depth = 0;
    std::size_t from = 0, to = 0;
};
Drawdown deepest_drawdown(const RunResult& result, double start);

// The summary of a run (returns, risk, costs, and the mods' summary extras), as summary.json.
State run_summary(Environment& env, const RunResult& result);

// Writes report.html: the summary table, equity and drawdown, cash and market value, the mods'
// sections (RunResult::report_sections), the daily metrics and the trades.
void write_html_report(const RunResult& result, const State& summary,
                       const std::filesystem::path& path);
// The same page as text.
std::string html_report(const RunResult& result, const State& summary);

}  // namespace korvex
