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
    for (auto& d : result.daily) cash.values.push_back(d.cash);
    panel.series.push_back(std::move(cash));
    auto borrowed = metric_index(result, "repo_borrowed");
    auto lent = metric_index(result, "repo_lent");
    if (borrowed)
        panel.series.emplace_back("Repo borrowed", "#dc2626", metric_column(result, *borrowed));
    if (lent) panel.series.emplace_back("Repo lent", "#2563eb", metric_column(result, *lent));
    if (!borrowed && !lent) {
        Series mv("Market value", "#7c3aed");
        for (auto& d : result.daily) mv.values.push_back(d.market_value);
        panel.series.push_back(std::move(mv));
    }
    out += borrowed || lent ? "<section><h2>Cash and repo balances</h2>"
                            : "<section><h2>Cash and market value</h2>";
    out += "<figure><div class=\"tip\" hidden></div>";
    out += time_chart(borrowed || lent ? "Cash and repo balances" : "Cash and market value", dates,
                      {panel});
    out += "</figure></section>";
}

void income_chart(std::string& out, const State& summary) {
    struct Source {
        std::string_view key, label;
        bool cost;  // drawn below zero whatever the sign it is stored with
    };
    // Principal repaid is capital coming back, not income: the price P&L already nets it.
    // The bars add up to the change of equity.
    static constexpr std::array<Source, 7> sources{
        {{"coupon_income", "Coupons", false},
         {"payment_receivable", "Receivable", false},
         {"price_pnl", "Price", false},
         {"repo_interest_earned", "Repo interest earned", false},
         {"repo_interest_paid", "Repo interest paid", true},
         {"transaction_costs", "Costs", true},
         {"overdraft_interest", "Overdraft interest", true}}};
    std::vector<Bar> bars;
    for (auto& s : sources)
        if (const State* v = find_number(summary, s.key)) {
            double value = v->get<double>();
            bars.push_back({std::string(s.label), s.cost ? -std::fabs(value) : value});
        }
    out += "<section><h2>Income by source</h2>";
    if (bars.empty())
        out += "<p class=\"empty\">no income breakdown for this run</p>";
    else
        out += bar_chart("Income by source", bars);
    out += "</section>";
}

void summary_table(std::string& out, const State& summary) {
    static constexpr std::array<std::string_view, 21> preferred{"start_date",
                                                                "end_date",
                                                                "trading_days",
                                                                "starting_cash",
                                                                "final_equity",
                                                                "total_return",
                                                                "annual_return",
                                                                "volatility",
                                                                "sharpe",
                                                                "max_drawdown",
                                                                "trades",
                                                                "transaction_costs",
                                                                "coupon_income",
                                                                "payment_receivable",
                                                                "principal_repaid",
                                                                "price_pnl",
                                                                "repo_interest_earned",
                                                                "repo_interest_paid",
                                                                "overdraft_days",
                                                                "max_overdraft",
                                                                "overdraft_interest"};
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
    income_chart(page, summary);
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
