#include "report_svg.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace korvex::report {

namespace {

using std::chrono::days;
using std::chrono::year_month_day;

// The drawing width of every chart; the page scales it to the column.
constexpr double WIDTH = 960;

long long day_number(Date d) {
    return d.time_since_epoch().count();
}

long long floor_mod(long long a, long long m) {
    return ((a % m) + m) % m;
}

// Appends formatted text to an SVG being built.
template <class... Args>
void put(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
    fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
}

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void add(double v) {
        if (!std::isfinite(v)) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

// A panel's value axis: ticks, and the mapping of values onto its pixel rows.
struct ValueAxis {
    Ticks ticks;
    double top, bottom;
    double y(double v) const {
        double t0 = ticks.values.front(), t1 = ticks.values.back();
        return bottom - (v - t0) / (t1 - t0) * (bottom - top);
    }
};

ValueAxis value_axis(const Panel& panel, double top, double bottom) {
    Range r;
    for (auto& s : panel.series)
        for (double v : s.values) r.add(v);
    if (r.empty()) r.lo = r.hi = 0;
    // At least one percent of height, so a flat or tiny drawdown does not fill the panel.
    if (panel.axis == AxisKind::Percent) r.add(r.hi - 0.01);
    if (panel.from_zero || std::any_of(panel.series.begin(), panel.series.end(),
                                       [](const Series& s) { return s.fill; })) {
        r.add(0);
    }
    int target = std::max(3, static_cast<int>((bottom - top) / 45));
    return ValueAxis{nice_ticks(r.lo, r.hi, target), top, bottom};
}

void legend(std::string& out, const Panel& panel, double y) {
    double x = 80;
    put(out, "<text class=\"ptitle\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", x, y,
        html_escape(panel.title));
    x += 8.0 * static_cast<double>(panel.title.size()) + 24;
    for (auto& s : panel.series) {
        put(out, "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"14\" height=\"4\" rx=\"1\" fill=\"{}\"/>",
            x, y - 5, s.color);
        put(out, "<text class=\"lg\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", x + 19, y,
            html_escape(s.name));
        x += 19 + 6.8 * static_cast<double>(s.name.size()) + 22;
    }
}

}  // namespace

Ticks nice_ticks(double lo, double hi, int target) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) lo = hi = 0;
    if (lo > hi) std::swap(lo, hi);
    if (hi - lo <= std::fabs(hi) * 1e-12) {
        double pad = hi == 0 ? 1 : std::fabs(hi) * 0.05;
        lo -= pad;
        hi += pad;
    }
    double rough = (hi - lo) / std::max(1, target);
    double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double norm = rough / magnitude;
    double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * magnitude;
    auto first = static_cast<long long>(std::floor(lo / step + 1e-9));
    auto last = static_cast<long long>(std::ceil(hi / step - 1e-9));
    Ticks t;
    t.step = step;
    for (long long k = first; k <= last; ++k) t.values.push_back(static_cast<double>(k) * step);
    return t;
}

std::vector<DateTick> date_ticks(Date first, Date last, std::size_t max_ticks) {
    std::vector<DateTick> out;
    const long long a = day_number(first), b = day_number(last);
    const auto limit = static_cast<long long>(max_ticks);
    // Steps of days; weekly ones fall on Mondays (1970-01-01 was a Thursday).
    for (long long step : {1, 2, 7, 14}) {
        if ((b - a) / step + 1 > limit + 1) continue;
        long long shift = step >= 7 ? 3 : 0;
        out.clear();
        for (long long d = a; d <= b; ++d)
            if (floor_mod(d + shift, step) == 0) out.push_back({Date(days(d)), ""});
        if (!out.empty() && out.size() <= max_ticks) {
            for (auto& t : out) t.label = format_date(t.date);
            return out;
        }
    }
    year_month_day ymd_a(first), ymd_b(last);
    long long month_a = static_cast<int>(ymd_a.year()) * 12LL + unsigned(ymd_a.month()) - 1;
    long long month_b = static_cast<int>(ymd_b.year()) * 12LL + unsigned(ymd_b.month()) - 1;
    for (long long step : {1, 2, 3, 6, 12, 24, 60, 120, 240}) {
        if ((month_b - month_a) / step > limit + 1) continue;
        out.clear();
        for (long long m = month_a; m <= month_b; ++m) {
            if (floor_mod(m, step) != 0) continue;
            Date d =
                std::chrono::sys_days(std::chrono::year(static_cast<int>(m / 12)) /
                                      std::chrono::month(static_cast<unsigned>(m % 12) + 1) / 1);
            if (d < first || d > last) continue;
            std::string label = format_date(d);
            out.push_back({d, step >= 12 ? label.substr(0, 4) : label.substr(0, 7)});
        }
        if (!out.empty() && out.size() <= max_ticks) return out;
    }
    out = {{first, format_date(first)}};
    if (last != first) out.push_back({last, format_date(last)});
    return out;
}

std::vector<std::size_t> downsample(const std::vector<double>& values, std::size_t max_points) {
    std::vector<std::size_t> finite;
    finite.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::isfinite(values[i])) finite.push_back(i);
    max_points = std::max<std::size_t>(max_points, 4);
    if (finite.size() <= max_points) return finite;

    std::vector<std::size_t> out{finite.front()};
    const std::size_t inner = finite.size() - 2, buckets = (max_points - 2) / 2;
    for (std::size_t b = 0; b < buckets; ++b) {
        std::size_t from = 1 + b * inner / buckets, to = 1 + (b + 1) * inner / buckets;
        if (from >= to) continue;
        std::size_t lo = finite[from], hi = finite[from];
        for (std::size_t k = from; k < to; ++k) {
            std::size_t i = finite[k];
            if (values[i] < values[lo]) lo = i;
            if (values[i] > values[hi]) hi = i;
        }
        out.push_back(std::min(lo, hi));
        if (hi != lo) out.push_back(std::max(lo, hi));
    }
    out.push_back(finite.back());
    return out;
}

std::string time_chart(std::string_view label, const std::vector<Date>& dates,
                       const std::vector<Panel>& panels, std::size_t max_points) {
    if (dates.empty() || panels.empty())
        return "<p class=\"empty\">no trading days in this run</p>";
    constexpr double left = 80, right = WIDTH - 20, legend_h = 30, gap = 20, axis_h = 30;
    double height = axis_h - gap;
    std::size_t series_count = 0;
    for (auto& p : panels) {
        height += legend_h + p.height + gap;
        series_count += p.series.size();
    }
    const std::size_t budget =
        std::max<std::size_t>(100, max_points / std::max<std::size_t>(1, series_count));

    double d0 = static_cast<double>(day_number(dates.front()));
    double d1 = static_cast<double>(day_number(dates.back()));
    if (d1 <= d0) {
        d0 -= 1;
        d1 += 1;
    }
    auto x_of = [&](Date d) {
        return left + (static_cast<double>(day_number(d)) - d0) / (d1 - d0) * (right - left);
    };
    const std::vector<DateTick> xticks = date_ticks(dates.front(), dates.back(), 8);

    std::string out;
    put(out,
        "<svg class=\"chart timechart\" viewBox=\"0 0 {:.0f} {:.0f}\" role=\"img\" "
        "aria-label=\"{}\" data-start=\"{}\">",
        WIDTH, height, html_escape(label), format_date(dates.front()));
    double y = 0, first_top = 0, bottom = 0;
    for (std::size_t pi = 0; pi < panels.size(); ++pi) {
        const Panel& panel = panels[pi];
        double top = y + legend_h;
        bottom = top + panel.height;
        if (pi == 0) first_top = top;
        ValueAxis axis = value_axis(panel, top, bottom);
        const char* kind = panel.axis == AxisKind::Percent ? "percent" : "money";
        out += "<g class=\"panel\">";
        legend(out, panel, y + 18);
        auto labels = axis_labels(axis.ticks.values, axis.ticks.step, panel.axis);
        for (std::size_t i = 0; i < labels.size(); ++i) {
            double ty = axis.y(axis.ticks.values[i]);
            put(out,
                "<line class=\"grid\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
                left, right, ty, ty);
            put(out, "<text class=\"yl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", left - 8, ty + 4,
                labels[i]);
        }
        for (auto& t : xticks) {
            double tx = x_of(t.date);
            put(out,
                "<line class=\"grid\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
                tx, tx, top, bottom);
        }
        double t0 = axis.ticks.values.front(), t1 = axis.ticks.values.back();
        if (t0 < 0 && t1 > 0)
            put(out,
                "<line class=\"zero\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
                left, right, axis.y(0), axis.y(0));
        put(out, "<line class=\"axis\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
            left, right, bottom, bottom);
        for (auto& s : panel.series) {
            std::vector<std::size_t> idx = downsample(s.values, budget);
            if (idx.empty()) continue;
            std::string points, vals, offs;
            for (std::size_t i : idx) {
                if (i >= dates.size()) break;
                put(points, "{}{:.1f},{:.1f}", points.empty() ? "" : " ", x_of(dates[i]),
                    axis.y(s.values[i]));
                put(vals, "{}{:.12g}", vals.empty() ? "" : ",", s.values[i]);
                put(offs, "{}{}", offs.empty() ? "" : ",",
                    day_number(dates[i]) - day_number(dates.front()));
            }
            if (s.fill) {
                double zero = axis.y(0);
                put(out,
                    "<path class=\"area\" fill=\"{}\" d=\"M{:.1f},{:.1f} L{} L{:.1f},{:.1f} Z\"/>",
                    s.color, x_of(dates[idx.front()]), zero, points, x_of(dates[idx.back()]), zero);
            }
            put(out,
                "<polyline class=\"line\" stroke=\"{}\" data-name=\"{}\" data-kind=\"{}\" "
                "points=\"{}\" data-v=\"{}\" data-d=\"{}\"/>",
                s.color, html_escape(s.name), kind, points, vals, offs);
        }
        out += "</g>";
        y = bottom + gap;
    }
    put(out, "<line class=\"axis\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>", left,
        left, first_top, bottom);
    for (auto& t : xticks) {
        double tx = std::clamp(x_of(t.date), left + 30, right - 30);
        put(out, "<text class=\"xl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", tx, bottom + 20,
            t.label);
    }
    put(out,
        "<line class=\"cursor\" x1=\"0\" x2=\"0\" y1=\"{:.1f}\" y2=\"{:.1f}\" "
        "visibility=\"hidden\"/></svg>",
        first_top, bottom);
    return out;
}

std::string bar_chart(std::string_view label, const std::vector<Bar>& bars) {
    constexpr double left = 200, right = WIDTH - 150, row = 36, pad = 8, axis_h = 30;
    Range r;
    r.add(0);
    for (auto& b : bars) r.add(b.value);
    Ticks ticks = nice_ticks(r.lo, r.hi, 6);
    double t0 = ticks.values.front(), t1 = ticks.values.back();
    auto x_of = [&](double v) { return left + (v - t0) / (t1 - t0) * (right - left); };
    const double bottom = pad + row * static_cast<double>(bars.size());

    std::string out;
    put(out,
        "<svg class=\"chart barchart\" viewBox=\"0 0 {:.0f} {:.0f}\" role=\"img\" "
        "aria-label=\"{}\">",
        WIDTH, bottom + axis_h, html_escape(label));
    auto labels = axis_labels(ticks.values, ticks.step, AxisKind::Money);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        double tx = x_of(ticks.values[i]);
        put(out, "<line class=\"grid\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
            tx, tx, pad, bottom);
        put(out, "<text class=\"xl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", tx, bottom + 20,
            labels[i]);
    }
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        double top = pad + row * static_cast<double>(i);
        double x0 = x_of(0), x1 = std::isfinite(b.value) ? x_of(b.value) : x0;
        double w = std::fabs(x1 - x0);
        if (b.value != 0 && w < 1) w = 1;
        std::string text = html_escape(b.label), value = format_money(b.value);
        put(out,
            "<rect class=\"{}\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"20\" rx=\"2\">"
            "<title>{}: {}</title></rect>",
            b.value < 0 ? "neg" : "pos", b.value < 0 ? x0 - w : x0, top + 8, w, text, value);
        put(out, "<text class=\"bl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", left - 12, top + 22,
            text);
        put(out, "<text class=\"bv{}\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>",
            b.value < 0 ? " negv" : "", WIDTH - 12, top + 22, value);
    }
    put(out, "<line class=\"zero\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
        x_of(0), x_of(0), pad, bottom);
    out += "</svg>";
    return out;
}

std::string stacked_bar_chart(std::string_view label, const std::vector<std::string>& categories,
                              const Panel& series) {
    constexpr double left = 80, right = WIDTH - 20, legend_h = 30, axis_h = 30;
    const double top = legend_h, bottom = top + series.height;
    const std::size_t n = categories.size();
    std::vector<double> up(n, 0.0), down(n, 0.0);
    Range r;
    r.add(0);
    for (auto& s : series.series)
        for (std::size_t i = 0; i < n && i < s.values.size(); ++i)
            if (std::isfinite(s.values[i])) (s.values[i] > 0 ? up : down)[i] += s.values[i];
    for (std::size_t i = 0; i < n; ++i) {
        r.add(up[i]);
        r.add(down[i]);
    }
    const ValueAxis axis{nice_ticks(r.lo, r.hi, 6), top, bottom};
    const double band = (right - left) / static_cast<double>(std::max<std::size_t>(1, n));
    std::string out;
    put(out,
        "<svg class=\"chart barchart\" viewBox=\"0 0 {:.0f} {:.0f}\" role=\"img\" "
        "aria-label=\"{}\">",
        WIDTH, bottom + axis_h, html_escape(label));
    legend(out, series, 18);
    auto labels = axis_labels(axis.ticks.values, axis.ticks.step, series.axis);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const double ty = axis.y(axis.ticks.values[i]);
        put(out, "<line class=\"grid\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>",
            left, right, ty, ty);
        put(out, "<text class=\"yl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>", left - 8, ty + 4,
            labels[i]);
    }
    std::fill(up.begin(), up.end(), 0.0);
    std::fill(down.begin(), down.end(), 0.0);
    for (auto& s : series.series)
        for (std::size_t i = 0; i < n && i < s.values.size(); ++i) {
            const double v = s.values[i];
            if (!std::isfinite(v) || v == 0) continue;
            double& base = v > 0 ? up[i] : down[i];
            const double y0 = axis.y(base), y1 = axis.y(base + v);
            base += v;
            put(out,
                "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" "
                "fill=\"{}\"><title>{} {}: {}</title></rect>",
                left + band * static_cast<double>(i) + band * 0.1, std::min(y0, y1), band * 0.8,
                std::fabs(y1 - y0), s.color, html_escape(categories[i]), html_escape(s.name),
                format_money(v));
        }
    put(out, "<line class=\"zero\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"/>", left,
        right, axis.y(0), axis.y(0));
    // At most a dozen category labels, evenly spaced.
    const std::size_t every = std::max<std::size_t>(1, (n + 11) / 12);
    for (std::size_t i = 0; i < n; i += every)
        put(out, "<text class=\"xl\" x=\"{:.1f}\" y=\"{:.1f}\">{}</text>",
            left + band * (static_cast<double>(i) + 0.5), bottom + 20, html_escape(categories[i]));
    out += "</svg>";
    return out;
}

}  // namespace korvex::report
