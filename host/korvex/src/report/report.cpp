#include "korvex/report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>

#include "korvex/atomic_file.hpp"
#include "korvex/errors.hpp"
#include "report_assets.hpp"
#include "report_format.hpp"
#include "report_svg.hpp"

namespace korvex {

namespace {

using namespace report;

// Beyond this the table stops; trades.csv holds every trade.
constexpr std::size_t MAX_TRADE_ROWS = 2000;

template <class... Args>
void put(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
    fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
}

const State* find_number(const State& summary, std::string_view key) {
    auto it = summary.find(key);
    return it != summary.end() && it->is_number() ? &*it : nullptr;
}

std::string summary_text(const State& summary, std::string_view key) {
    auto it = summary.find(key);
    return it != summary.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<Date> run_dates(const RunResult& result) {
    std::vector<Date> dates;
    dates.reserve(result.daily.size());
    for (auto& d : result.daily) dates.push_back(d.date);
    return dates;
}

std::vector<double> metric_column(const RunResult& result, std::size_t index) {
    std::vector<double> out;
    out.reserve(result.daily.size());
    for (auto& d : result.daily)
        out.push_back(index < d.metrics.size() ? d.metrics[index]
                                               : std::numeric_limits<double>::quiet_NaN());
    return out;
}

std::optional<std::size_t> metric_index(const RunResult& result, std::string_view name) {
    auto it = std::find(result.metric_names.begin(), result.metric_names.end(), name);
    if (it == result.metric_names.end()) return std::nullopt;
    return static_cast<std::size_t>(it - result.metric_names.begin());
}

void header(std::string& out, const RunResult& result, const State& summary) {
    std::string first = summary_text(summary, "start_date"),
                last = summary_text(summary, "end_date");
    if (first.empty() && !result.daily.empty()) first = format_date(result.daily.front().date);
    if (last.empty() && !result.daily.empty()) last = format_date(result.daily.back().date);
    out += "<header><h1>Backtest report</h1>";
    put(out, "<p class=\"sub\">{} to {} &middot; {} trading days &middot; {} trades</p>",
        html_escape(first.empty() ? "-" : first), html_escape(last.empty() ? "-" : last),
        format_count(static_cast<double>(result.daily.size())),
        format_count(static_cast<double>(result.trades.size())));
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> cards{
        {{"starting_cash", "Starting cash"},
         {"final_equity", "Final equity"},
         {"total_return", "Total return"},
         {"annual_return", "Annual return"},
         {"max_drawdown", "Max drawdown"},
         {"sharpe", "Sharpe"}}};
    out += "<div class=\"cards\">";
    for (auto& [key, label] : cards) {
        const State* v = find_number(summary, key);
        if (!v) continue;
        bool negative = key != "max_drawdown" && v->get<double>() < 0;
        put(out, "<div class=\"card\"><div class=\"l\">{}</div><div class=\"v{}\">{}</div></div>",
            label, negative ? " negv" : "", html_escape(format_summary_value(key, *v)));
    }
    out += "</div></header>";
}

void equity_chart(std::string& out, const RunResult& result, const std::vector<Date>& dates,
                  const State& summary) {
    static constexpr std::array<const char*, 4> account_colors{"#0891b2", "#7c3aed", "#ea580c",
                                                               "#65a30d"};
    Panel equity("Equity", AxisKind::Money, 240);
    Series total("Total equity", "#1d4ed8");
    Series drawdown("Drawdown", "#dc2626", {}, true);
    double peak = -std::numeric_limits<double>::infinity();
    if (const State* start = find_number(summary, "starting_cash")) peak = start->get<double>();
    for (auto& d : result.daily) {
        total.values.push_back(d.equity);
        peak = std::max(peak, d.equity);
        drawdown.values.push_back(peak > 0 ? d.equity / peak - 1 : 0.0);
    }
    equity.series.push_back(std::move(total));
    Panel dd("Drawdown", AxisKind::Percent, 130);
    dd.series.push_back(std::move(drawdown));
    std::vector<Panel> panels{std::move(equity), std::move(dd)};
    // Accounts get a panel of their own: on the total's axis a small one would flatten it.
    std::size_t accounts = result.daily.empty() ? 0 : result.daily.front().accounts.size();
    if (accounts > 1) {
        Panel by_account("By account", AxisKind::Money, 160);
        for (std::size_t a = 0; a < accounts; ++a) {
            Series s(std::string(name(result.daily.front().accounts[a].type)) + " equity",
                     account_colors[a % account_colors.size()]);
            for (auto& d : result.daily)
                s.values.push_back(a < d.accounts.size()
                                       ? d.accounts[a].equity
                                       : std::numeric_limits<double>::quiet_NaN());
            by_account.series.push_back(std::move(s));
        }
        panels.push_back(std::move(by_account));
    }
    out += "<section><h2>Equity and drawdown</h2><figure><div class=\"tip\" hidden></div>";
    out += time_chart("Equity and drawdown", dates, panels);
    out += "</figure></section>";
}

void balance_chart(std::string& out, const RunResult& result, const std::vector<Date>& dates) {
    Panel panel("Balances", AxisKind::Money, 240, true);
    Series cash("Cash", "#0f766e");
    Series mv("Market value", "#7c3aed");
    for (auto& d : result.daily) {
        cash.values.push_back(d.cash);
        mv.values.push_back(d.market_value);
    }
    panel.series.push_back(std::move(cash));
    panel.series.push_back(std::move(mv));
    out += "<section><h2>Cash and market value</h2><figure><div class=\"tip\" hidden></div>";
    out += time_chart("Cash and market value", dates, {panel});
    out += "</figure></section>";
}

// A daily column by name: the day's cash, market value or equity, or a mod's metric.
std::optional<std::vector<double>> daily_column(const RunResult& result, std::string_view name) {
    std::vector<double> out;
    out.reserve(result.daily.size());
    const double DailyRecord::*field = name == "cash"           ? &DailyRecord::cash
                                       : name == "market_value" ? &DailyRecord::market_value
                                       : name == "equity"       ? &DailyRecord::equity
                                                                : nullptr;
    if (field) {
        for (auto& d : result.daily) out.push_back(d.*field);
        return out;
    }
    auto index = metric_index(result, name);
    if (!index) return std::nullopt;
    return metric_column(result, *index);
}

// Each series' daily column summed over the days whose `key` (a date's month or year) is the
// same; the keys in order.
std::vector<std::string> sum_by(const RunResult& result, const std::vector<ReportSeries>& series,
                                std::string (*key)(Date), Panel& sums) {
    std::vector<std::string> keys;
    std::vector<std::size_t> slot;
    for (auto& d : result.daily) {
        std::string k = key(d.date);
        if (keys.empty() || keys.back() != k) keys.push_back(std::move(k));
        slot.push_back(keys.size() - 1);
    }
    for (auto& s : series) {
        auto column = daily_column(result, s.column);
        if (!column) continue;
        Series summed(s.label, s.color, std::vector<double>(keys.size(), 0.0));
        for (std::size_t i = 0; i < column->size(); ++i)
            if (std::isfinite((*column)[i])) summed.values[slot[i]] += (*column)[i];
        sums.series.push_back(std::move(summed));
    }
    return keys;
}

void mod_section(std::string& out, const RunResult& result, const std::vector<Date>& dates,
                 const State& summary, const ReportSection& section) {
    put(out, "<section><h2>{}</h2>", html_escape(section.title));
    if (!section.note.empty()) put(out, "<p class=\"note\">{}</p>", html_escape(section.note));
    std::vector<Panel> panels;
    for (auto& p : section.panels) {
        Panel panel(p.title, p.percent ? AxisKind::Percent : AxisKind::Money, 200, p.from_zero);
        for (auto& s : p.series)
            if (auto column = daily_column(result, s.column))
                panel.series.emplace_back(s.label, s.color, std::move(*column));
        if (!panel.series.empty()) panels.push_back(std::move(panel));
    }
    if (!panels.empty()) {
        out += "<figure><div class=\"tip\" hidden></div>";
        out += time_chart(section.title, dates, panels);
        out += "</figure>";
    }
    if (!section.monthly_stack.empty() && !result.daily.empty()) {
        Panel sums("By month", AxisKind::Money, 240);
        auto months = sum_by(
            result, section.monthly_stack, [](Date d) { return format_date(d).substr(0, 7); },
            sums);
        out += stacked_bar_chart(section.title + " by month", months, sums);
    }
    if (!section.yearly_table.empty() && !result.daily.empty()) {
        Panel sums("By year", AxisKind::Money, 0);
        auto years = sum_by(
            result, section.yearly_table, [](Date d) { return format_date(d).substr(0, 4); }, sums);
        out += "<div class=\"scroll\"><table><thead><tr><th>Year</th>";
        for (auto& s : sums.series) put(out, "<th class=\"n\">{}</th>", html_escape(s.name));
        out += "<th class=\"n\">Total</th></tr></thead><tbody>";
        auto row = [&](const std::string& label, auto value_of) {
            put(out, "<tr><td>{}</td>", html_escape(label));
            double total = 0;
            for (auto& s : sums.series) {
                const double v = value_of(s);
                total += v;
                put(out, "<td class=\"n{}\">{}</td>", v < 0 ? " negv" : "", format_money(v));
            }
            put(out, "<td class=\"n{}\">{}</td></tr>", total < 0 ? " negv" : "",
                format_money(total));
        };
        for (std::size_t y = 0; y < years.size(); ++y)
            row(years[y], [&](const Series& s) { return s.values[y]; });
        row("All", [](const Series& s) {
            double t = 0;
            for (double v : s.values) t += v;
            return t;
        });
        // The deepest drawdown, from the close of its peak to that of its trough.
        const State* start = find_number(summary, "starting_cash");
        const Drawdown fall = deepest_drawdown(
            result, start ? start->get<double>() : -std::numeric_limits<double>::infinity());
        const std::size_t from = fall.from, to = fall.to;
        if (fall.depth > 0) {
            std::vector<std::vector<double>> columns;
            for (auto& s : section.yearly_table)
                if (auto column = daily_column(result, s.column)) columns.push_back(*column);
            std::size_t k = 0;
            row(fmt::format("Drawdown {} to {}",
                            from ? format_date(result.daily[from - 1].date) : "start",
                            format_date(result.daily[to - 1].date)),
                [&](const Series&) {
                    double t = 0;
                    for (std::size_t i = from; i < to; ++i)
                        if (std::isfinite(columns[k][i])) t += columns[k][i];
                    ++k;
                    return t;
                });
        }
        out += "</tbody></table></div>";
    }
    std::vector<Bar> bars;
    for (auto& b : section.bars)
        if (const State* v = find_number(summary, b.summary_key)) {
            const double value = v->get<double>();
            bars.push_back({b.label, b.cost ? -std::fabs(value) : value});
        }
    if (!bars.empty()) out += bar_chart(section.title, bars);
    out += "</section>";
}

void summary_table(std::string& out, const State& summary) {
    static constexpr std::array<std::string_view, 15> preferred{
        "start_date",     "end_date",      "trading_days",
        "starting_cash",  "final_equity",  "total_return",
        "annual_return",  "volatility",    "sharpe",
        "max_drawdown",   "trades",        "transaction_costs",
        "overdraft_days", "max_overdraft", "overdraft_interest"};
    std::vector<std::string> keys;
    for (auto key : preferred)
        if (summary.contains(key)) keys.emplace_back(key);
    for (auto& [key, value] : summary.items())
        if (value.is_primitive() && std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
    out += "<section><h2>Summary</h2><div class=\"pair\">";
    std::size_t half = (keys.size() + 1) / 2;
    for (std::size_t part = 0; part < 2; ++part) {
        out += "<table><tbody>";
        for (std::size_t i = part * half; i < std::min(keys.size(), (part + 1) * half); ++i) {
            const State& v = summary.at(keys[i]);
            bool negative = v.is_number() && v.get<double>() < 0;
            put(out, "<tr><td>{}<span class=\"key\">{}</span></td><td class=\"n{}\">{}</td></tr>",
                html_escape(humanize(keys[i])), html_escape(keys[i]), negative ? " negv" : "",
                html_escape(format_summary_value(keys[i], v)));
        }
        out += "</tbody></table>";
    }
    out += "</div></section>";
}

void metrics_table(std::string& out, const RunResult& result) {
    if (result.metric_names.empty() || result.daily.empty()) return;
    out +=
        "<section><h2>Daily metrics</h2><table><thead><tr><th>Metric</th>"
        "<th class=\"n\">Last day</th><th class=\"n\">Minimum</th><th class=\"n\">Maximum</th>"
        "</tr></thead><tbody>";
    for (std::size_t m = 0; m < result.metric_names.size(); ++m) {
        std::vector<double> column = metric_column(result, m);
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (double v : column)
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        auto cell = [](double v) {
            return std::isfinite(v) ? format_money(v) : std::string("n/a");
        };
        put(out,
            "<tr><td>{}<span class=\"key\">{}</span></td><td class=\"n\">{}</td>"
            "<td class=\"n\">{}</td><td class=\"n\">{}</td></tr>",
            html_escape(humanize(result.metric_names[m])), html_escape(result.metric_names[m]),
            cell(column.back()), cell(lo), cell(hi));
    }
    out += "</tbody></table></section>";
}

std::string format_price(double v) {
    if (!std::isfinite(v)) return "n/a";
    std::string s = fmt::format("{:.4f}", v);
    while (s.back() == '0' && s.size() - s.find('.') > 3) s.pop_back();
    return s;
}

void trades_table(std::string& out, const RunResult& result) {
    const std::size_t shown = std::min(result.trades.size(), MAX_TRADE_ROWS);
    std::vector<std::string> extras;
    for (std::size_t i = 0; i < shown; ++i)
        for (auto& [key, value] : result.trades[i]->named())
            if (key != "commission" && key != "tax" &&
                std::find(extras.begin(), extras.end(), key) == extras.end())
                extras.push_back(key);
    out += "<section><h2>Trades</h2>";
    if (result.trades.empty()) {
        out += "<p class=\"empty\">no trades in this run</p></section>";
        return;
    }
    out +=
        "<div class=\"scroll\"><table class=\"trades\"><thead><tr><th class=\"n\">Trade "
        "ID</th><th>Time</th>"
        "<th>Order book ID</th><th>Side</th><th>Effect</th><th class=\"n\">Price</th>"
        "<th class=\"n\">Quantity</th><th class=\"n\">Commission</th><th class=\"n\">Tax</th>";
    for (auto& key : extras)
        put(out, "<th title=\"{}\">{}</th>", html_escape(key), html_escape(humanize(key)));
    out += "</tr></thead><tbody>";
    for (std::size_t i = 0; i < shown; ++i) {
        const Trade& t = *result.trades[i];
        std::string_view side = name(t.side());
        put(out,
            "<tr><td class=\"n\">{}</td><td>{}</td><td>{}</td><td class=\"{}\">{}</td><td>{}</td>"
            "<td class=\"n\">{}</td><td class=\"n\">{}</td><td class=\"n\">{}</td>"
            "<td class=\"n\">{}</td>",
            t.trade_id(), format_datetime(t.trading_datetime()), html_escape(t.order_book_id()),
            t.side() == SIDE::SELL ? "sell" : "buy", html_escape(side),
            html_escape(name(t.position_effect())), format_price(t.last_price()),
            format_count(t.last_quantity()), format_money(t.commission()), format_money(t.tax()));
        for (auto& key : extras) {
            const Value* v = t.named().find(key);
            bool number = v && (v->is_float() || v->is_int());
            put(out, "<td{}>{}</td>", number ? " class=\"n\"" : "",
                v ? html_escape(format_value(*v)) : std::string());
        }
        out += "</tr>";
    }
    out += "</tbody></table></div>";
    if (shown < result.trades.size())
        put(out,
            "<p class=\"note\">Showing the first {} of {} trades; trades.csv lists them all.</p>",
            format_count(static_cast<double>(shown)),
            format_count(static_cast<double>(result.trades.size())));
    out += "</section>";
}

// Orders the run refused, rejected or let expire, by reason; every line is in run.log.
void order_warnings_table(std::string& out, const RunResult& result) {
    if (result.order_warnings.empty()) return;
    out +=
        "<section><h2>Order warnings</h2><table><thead><tr><th>Reason</th>"
        "<th class=\"n\">Orders</th></tr></thead><tbody>";
    for (auto& [reason, count] : result.order_warnings)
        put(out, "<tr><td>{}</td><td class=\"n\">{}</td></tr>", html_escape(reason),
            format_count(static_cast<double>(count)));
    out +=
        "</tbody></table><p class=\"empty\">Each one is in run.log beside this page.</p>"
        "</section>";
}

}  // namespace

Drawdown deepest_drawdown(const RunResult& result, double start) {
    Drawdown deepest;
    double peak_equity = start;
    std::size_t peak = 0;
    for (std::size_t i = 0; i < result.daily.size(); ++i) {
        const double e = result.daily[i].equity;
        if (e > peak_equity) {
            peak_equity = e;
            peak = i + 1;
        } else if (peak_equity > 0 && 1 - e / peak_equity > deepest.depth) {
            deepest = {1 - e / peak_equity, peak, i + 1};
        }
    }
    return deepest;
}

std::string html_report(const RunResult& result, const State& summary) {
    std::vector<Date> dates = run_dates(result);
    std::string page;
    page.reserve(64 * 1024);
    page +=
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">";
    put(page, "<title>Backtest report {} to {}</title><style>{}</style></head><body><main>",
        dates.empty() ? "-" : format_date(dates.front()),
        dates.empty() ? "-" : format_date(dates.back()), page_style());
    header(page, result, summary);
    equity_chart(page, result, dates, summary);
    balance_chart(page, result, dates);
    for (const ReportSection& section : result.report_sections)
        mod_section(page, result, dates, summary, section);
    summary_table(page, summary);
    order_warnings_table(page, result);
    metrics_table(page, result);
    trades_table(page, result);
    page +=
        "<footer>Written by korvex. The tables in full are in the CSV and JSON files beside "
        "this page.</footer></main><script>";
    page += page_script();
    page += "</script></body></html>\n";
    return page;
}

void write_html_report(const RunResult& result, const State& summary,
                       const std::filesystem::path& path) {
    write_file_atomically(path, html_report(result, summary), "report");
}

}  // namespace korvex
