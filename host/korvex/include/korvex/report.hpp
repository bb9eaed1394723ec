// The HTML report of a run: one self-contained file (no network), charts drawn as inline SVG.
#pragma once

#include <filesystem>

#include "korvex/portfolio/position.hpp"
#include "korvex/runner.hpp"

namespace korvex {

// The summary of a run (returns, risk, costs, and the mods' summary extras), as summary.json.
State run_summary(Environment& env, const RunResult& result);

// Writes report.html: the summary table, equity and drawdown, cash and market value, the mods'
// sections (RunResult::report_sections), the daily metrics and the trades.
void write_html_report(const RunResult& result, const State& summary,
                       const std::filesystem::path& path);
// The same page as text.
std::string html_report(const RunResult& result, const State& summary);

}  // namespace korvex
