// Text and number formatting for the HTML report: escaping, money with thousands separators,
// percentages, and the labels of summary entries and chart axes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/portfolio/position.hpp"
#include "korvex/value.hpp"

namespace korvex::report {

// Escapes & < > " ' so the text is safe both as element content and inside attribute values.
std::string html_escape(std::string_view text);

// 1234567.891 -> "1,234,567.89"; non-finite values -> "n/a".
std::string format_money(double v, int decimals = 2);
// 1234567 -> "1,234,567"; a fractional count keeps up to 4 decimals.
std::string format_count(double v);
// 0.12345 -> "12.35%".
std::string format_percent(double fraction, int decimals = 2);
// A trade's named value: money-like numbers grouped, dates without a midnight time.
std::string format_value(const Value& v);

enum class SummaryKind { Percent, Ratio, Money, Count, Text };
// How a summary entry reads best, from its key and JSON type.
SummaryKind summary_kind(std::string_view key, const State& value);
std::string format_summary_value(std::string_view key, const State& value);
// "repo_interest_paid" -> "Repo interest paid", "price_pnl" -> "Price P&L".
std::string humanize(std::string_view key);

enum class AxisKind { Money, Percent };
// Tick labels sharing one unit and one number of decimals: "0", "0.5M", "1.0M"; "-2.5%".
std::vector<std::string> axis_labels(const std::vector<double>& ticks, double step, AxisKind kind);

}  // namespace korvex::report
