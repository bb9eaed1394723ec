#include "report_format.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace korvex::report {

namespace {

// Inserts a comma every three digits of the integer part of a plain decimal rendering.
std::string group(std::string text) {
    std::size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    std::size_t end = text.find('.');
    if (end == std::string::npos) end = text.size();
    for (std::size_t i = end; i > start + 3; i -= 3) text.insert(i - 3, 1, ',');
    return text;
}

// "-0.00" after rounding reads as a loss that is not there.
std::string drop_negative_zero(std::string text) {
    if (text.size() > 1 && text[0] == '-' && text.find_first_not_of("0.,", 1) == std::string::npos)
        text.erase(0, 1);
    return text;
}

std::string trim_zeros(std::string text) {
    if (text.find('.') == std::string::npos) return text;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

bool contains_any(std::string_view key, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view w) { return key.find(w) != std::string_view::npos; });
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string format_money(double v, int decimals) {
    if (!std::isfinite(v)) return "n/a";
    return drop_negative_zero(group(fmt::format("{:.{}f}", v, decimals)));
}

std::string format_count(double v) {
    if (!std::isfinite(v)) return "n/a";
    if (v == std::floor(v) && std::fabs(v) < 1e15) return format_money(v, 0);
    return drop_negative_zero(group(trim_zeros(fmt::format("{:.4f}", v))));
}

std::string format_percent(double fraction, int decimals) {
    if (!std::isfinite(fraction)) return "n/a";
    return drop_negative_zero(fmt::format("{:.{}f}", fraction * 100, decimals)) + "%";
}

std::string format_value(const Value& v) {
    if (v.is_none()) return "";
    if (v.is_float()) {
        double d = v.as_double();
        if (!std::isfinite(d)) return "n/a";
        if (std::fabs(d) >= 1000) return format_money(d);
        return drop_negative_zero(trim_zeros(fmt::format("{:.6f}", d)));
    }
    if (v.is_datetime()) {
        DateTime dt = v.as_datetime();
        return dt == to_datetime(to_date(dt)) ? format_date(to_date(dt)) : format_datetime(dt);
    }
    return v.to_string();
}

SummaryKind summary_kind(std::string_view key, const State& value) {
    if (!value.is_number()) return SummaryKind::Text;
    if (contains_any(key, {"return", "drawdown", "volatility", "win_rate"}))
        return SummaryKind::Percent;
    if (contains_any(key, {"sharpe", "sortino", "ratio", "leverage", "duration", "beta"}))
        return SummaryKind::Ratio;
    if (value.is_number_integer()) return SummaryKind::Count;
    return SummaryKind::Money;
}

std::string format_summary_value(std::string_view key, const State& value) {
    switch (summary_kind(key, value)) {
        case SummaryKind::Percent:
            return format_percent(value.get<double>());
        case SummaryKind::Ratio: {
            double d = value.get<double>();
            return std::isfinite(d) ? drop_negative_zero(fmt::format("{:.2f}", d)) : "n/a";
        }
        case SummaryKind::Count:
            return format_count(value.get<double>());
        case SummaryKind::Money:
            return format_money(value.get<double>());
        case SummaryKind::Text:
            break;
    }
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "n/a";
    if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
    return value.dump();
}

std::string humanize(std::string_view key) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> words{
        {{"pnl", "P&L"}, {"dv01", "DV01"}, {"sharpe", "Sharpe"}, {"id", "ID"}}};
    std::string out;
    std::size_t pos = 0;
    while (pos <= key.size()) {
        std::size_t end = std::min(key.find('_', pos), key.size());
        std::string_view word = key.substr(pos, end - pos);
        if (!word.empty()) {
            if (!out.empty()) out += ' ';
            auto special =
                std::find_if(words.begin(), words.end(), [&](auto& w) { return w.first == word; });
            out += special != words.end() ? std::string(special->second) : std::string(word);
        }
        pos = end + 1;
    }
    if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
    return out;
}

std::vector<std::string> axis_labels(const std::vector<double>& ticks, double step, AxisKind kind) {
    std::vector<std::string> out;
    if (ticks.empty() || !(step > 0)) return out;
    double scale = 1;
    std::string unit;
    if (kind == AxisKind::Percent) {
        scale = 0.01;
        unit = "%";
    } else {
        double top = 0;
        for (double t : ticks) top = std::max(top, std::fabs(t));
        static constexpr std::array<std::pair<double, const char*>, 3> units{
            {{1e9, "B"}, {1e6, "M"}, {1e3, "k"}}};
        for (auto& [size, name] : units)
            if (top >= size) {
                scale = size;
                unit = name;
                break;
            }
    }
    // The fewest decimals that show every tick exactly (a step of 2.5k needs one).
    int decimals = 0;
    auto exact = [&](int d) {
        double f = std::pow(10.0, d);
        return std::all_of(ticks.begin(), ticks.end(), [&](double t) {
            double x = t / scale * f;
            return std::fabs(x - std::round(x)) < 1e-6 * std::max(1.0, std::fabs(x));
        });
    };
    while (decimals < 4 && !exact(decimals)) ++decimals;
    for (double t : ticks) {
        if (std::fabs(t) < step * 1e-9) {
            out.push_back(kind == AxisKind::Money ? "0" : fmt::format("{:.{}f}%", 0.0, decimals));
            continue;
        }
        out.push_back(fmt::format("{:.{}f}", t / scale, decimals) + unit);
    }
    return out;
}

}  // namespace korvex::report
