#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <numeric>

#include "korvex/atomic_file.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/report.hpp"
#include "korvex/runner.hpp"

namespace korvex {

namespace {

std::string csv_escape(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void write_daily(const RunResult& result, std::ostream& out) {
    out << "date";
    if (!result.daily.empty())
        for (auto& a : result.daily.front().accounts) {
            auto n = std::string(name(a.type));
            out << "," << n << "_cash," << n << "_market_value," << n << "_equity";
        }
    out << ",cash,market_value,equity";
    for (auto& m : result.metric_names) out << "," << m;
    out << "\n";
    for (auto& d : result.daily) {
        out << format_date(d.date);
        for (auto& a : d.accounts)
            out << fmt::format(",{:.6f},{:.6f},{:.6f}", a.cash, a.market_value, a.equity);
        out << fmt::format(",{:.6f},{:.6f},{:.6f}", d.cash, d.market_value, d.equity);
        for (double m : d.metrics) out << fmt::format(",{:.6f}", m);
        out << "\n";
    }
}

void write_trades(const RunResult& result, std::ostream& out) {
    out << "trade_id,datetime,order_id,order_book_id,side,position_effect,price,quantity,"
           "commission,tax,extra\n";
    for (auto& t : result.trades) {
        std::string extra;
        for (auto& [k, v] : t->named())
            if (k != "commission" && k != "tax")
                extra += (extra.empty() ? "" : ";") + k + "=" + v.to_string();
        out << fmt::format("{},{},{},{},{},{},{:.10g},{:.10g},{:.6f},{:.6f},{}\n", t->trade_id(),
                           format_datetime(t->trading_datetime()),
                           t->order_id() ? std::to_string(*t->order_id()) : std::string(),
                           t->order_book_id(), name(t->side()), name(t->position_effect()),
                           t->last_price(), t->last_quantity(), t->commission(), t->tax(),
                           csv_escape(extra));
    }
}

void write_positions(Environment& env, std::ostream& out) {
    out << "account,order_book_id,direction,quantity,avg_price,last_price,market_value,equity\n";
    for (auto& [type, acc] : env.portfolio().accounts())
        for (auto& p : acc->positions())
            out << fmt::format("{},{},{},{:.10g},{:.10g},{:.10g},{:.6f},{:.6f}\n", name(type),
                               p->order_book_id(), name(p->direction()), p->quantity(),
                               p->avg_price(), p->last_price(), p->market_value(), p->equity());
}

void write_cash_flows(Environment& env, std::ostream& out) {
    // Daily runs book everything at the day's close: their time says nothing.
    const bool intraday = env.config().at("base.frequency").as_string() != "1d";
    out << "date,time,account,cause,order_book_id,order_id,trade_id,amount\n";
    for (auto& [type, acc] : env.portfolio().accounts()) {
        const CashJournal& journal = acc->journal();
        // The opening balance first: the amounts of an account add up to its final cash.
        out << fmt::format(",,{},opening balance,,,,{:.6f}\n", name(type), journal.opening());
        for (const CashEntry& e : journal.entries())
            out << fmt::format("{},{},{},{},{},{},{},{:.6f}\n", format_date(to_date(e.datetime)),
                               intraday ? format_datetime(e.datetime).substr(11) : std::string(),
                               name(type), name(e.cause), e.order_book_id,
                               e.order_id ? std::to_string(e.order_id) : std::string(),
                               e.trade_id ? std::to_string(e.trade_id) : std::string(), e.amount);
    }
}

State plain_summary(Environment& env, const RunResult& result) {
    // A resumed run is the segment from the saved close: its returns count from that equity.
    const double start =
        result.resumed_from ? result.opening_equity : env.portfolio().starting_cash();
    double end = result.daily.empty() ? start : result.daily.back().equity;
    // Beside each day's return, the risk-free one: the rate known at the previous close for the
    // nights to this one.
    const std::string rf_id = env.config().at("base.risk_free_instrument").as_string();
    const double rf_fixed = env.config().at("base.risk_free_rate").as_double();
    const Bars rf_bars = rf_id.empty() ? Bars() : env.data_proxy().day_bars_full(rf_id);
    auto risk_free = [&](std::size_t r) {
        if (rf_id.empty() && rf_fixed == 0) return 0.0;
        const Date day = result.daily[r].date;
        Date before = day - std::chrono::days(1);
        if (r > 0) {
            before = result.daily[r - 1].date;
        } else {
            try {
                before = to_date(env.data_proxy().get_previous_trading_date(day));
            } catch (const Error&) {
                // the calendar starts with the run: one night
            }
        }
        double rate = rf_fixed;
        if (!rf_id.empty()) {
            const std::size_t k = rf_bars.find_at_or_before(convert_date_to_int(before));
            rate = k == Bars::npos ? 0.0 : rf_bars.get(k, "close");
            if (!std::isfinite(rate)) rate = 0.0;
        }
        return rate * static_cast<double>((day - before).count()) / 365.0;
    };
    std::vector<double> returns, free_returns;
    double prev = start;
    for (std::size_t r = 0; r < result.daily.size(); ++r) {
        const DailyRecord& d = result.daily[r];
        if (prev != 0) {
            returns.push_back(d.equity / prev - 1);
            free_returns.push_back(risk_free(r));
        }
        prev = d.equity;
    }
    double n = static_cast<double>(returns.size());
    double mean = n ? std::accumulate(returns.begin(), returns.end(), 0.0) / n : 0;
    double var = 0;
    for (double r : returns) var += (r - mean) * (r - mean);
    double vol = n > 1 ? std::sqrt(var / (n - 1)) * std::sqrt(252.0) : 0;
    double growth = 1, downside = 0;
    for (std::size_t i = 0; i < returns.size(); ++i) {
        growth *= 1 + free_returns[i];
        const double below = std::min(0.0, returns[i] - free_returns[i]);
        downside += below * below;
    }
    const double rf_annual = n > 0 ? std::pow(growth, 252.0 / n) - 1 : 0;
    const double downside_vol = n > 0 ? std::sqrt(downside / n) * std::sqrt(252.0) : 0;
    double total = start != 0 ? end / start - 1 : 0;
    double annual = n > 0 && start != 0 ? std::pow(end / start, 252.0 / n) - 1 : 0;
    // Costs as the journals paid them.
    double costs = 0, overdraft_interest = 0;
    for (auto& [type, acc] : env.portfolio().accounts()) {
        for (CASH_CAUSE c : {CASH_CAUSE::COMMISSION, CASH_CAUSE::TAX, CASH_CAUSE::REPO_COMMISSION})
            costs -= acc->journal().total(c);
        overdraft_interest -= acc->journal().total(CASH_CAUSE::OVERDRAFT_INTEREST);
    }
    // Overdrafts as the days closed: a day counts when any account's cash was below zero.
    int overdraft_days = 0;
    double max_overdraft = 0;
    for (auto& d : result.daily) {
        double deepest = 0;
        for (auto& a : d.accounts) deepest = std::min(deepest, a.cash);
        overdraft_days += deepest < 0;
        max_overdraft = std::max(max_overdraft, -deepest);
    }
    return State{{"start_date", result.daily.empty() ? "" : format_date(result.daily.front().date)},
                 {"end_date", result.daily.empty() ? "" : format_date(result.daily.back().date)},
                 {"trading_days", result.daily.size()},
                 {"starting_cash", start},
                 {"final_equity", end},
                 {"total_return", total},
                 {"annual_return", annual},
                 {"volatility", vol},
                 {"sharpe", vol > 0 ? (annual - rf_annual) / vol : 0.0},
                 {"sortino", downside_vol > 0 ? (annual - rf_annual) / downside_vol : 0.0},
                 {"risk_free_return", rf_annual},
                 {"max_drawdown", deepest_drawdown(result, start).depth},
                 {"trades", result.trades.size()},
                 {"transaction_costs", costs},
                 {"overdraft_days", overdraft_days},
                 {"max_overdraft", max_overdraft},
                 {"overdraft_interest", overdraft_interest}};
}

}  // namespace

State run_summary(Environment& env, const RunResult& result) {
    State s = plain_summary(env, result);
    if (result.resumed_from) {
        s["resumed_from"] = format_date(*result.resumed_from);
        s["basis"] = fmt::format(
            "the segment after the saved close of {}: starting_cash is that close's equity",
            format_date(*result.resumed_from));
    }
    for (auto& [name, value] : result.summary_extras) s[name] = value;
    State warnings = State::array();
    for (auto& [reason, count] : result.order_warnings)
        warnings.push_back({{"reason", reason}, {"count", count}});
    s["order_warnings"] = warnings;
    return s;
}

namespace {

constexpr const char* kRecord = "korvex_run.json";
constexpr std::array<const char*, 6> kResults{"daily.csv",      "trades.csv",   "positions.csv",
                                              "cash_flows.csv", "summary.json", "report.html"};

// The folder's record of the run that writes there: its results are complete only once it says
// so, after every file is in place. It lists the mods' files too, so that the next run in the
// folder removes them with the host's.
void write_record(const std::filesystem::path& dir, bool complete,
                  const std::vector<std::string>& mod_files = {}) {
    State files = State::array();
    for (const char* name : kResults) files.push_back(name);
    for (const std::string& name : mod_files) files.push_back(name);
    write_file_atomically(dir / kRecord,
                          State{{"complete", complete}, {"files", files}}.dump(2) + "\n",
                          "run record");
}

// The files an earlier run recorded writing in `dir` beyond the host's: plain names only, so
// that a doctored record cannot reach outside the folder.
std::vector<std::string> recorded_mod_files(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::ifstream in(dir / kRecord);
    if (!in) return names;
    try {
        const State record = State::parse(in);
        if (auto it = record.find("files"); it != record.end() && it->is_array())
            for (const State& f : *it)
                if (f.is_string()) {
                    const std::string name = f.get<std::string>();
                    if (!name.empty() && name.find_first_of("/\\") == std::string::npos &&
                        name != "." && name != ".." && name != kRecord &&
                        std::ranges::find(kResults, name) == kResults.end())
                        names.push_back(name);
                }
    } catch (const std::exception&) {
        // an unreadable record lists nothing
    }
    return names;
}

}  // namespace

void prepare_output_dir(const std::filesystem::path& dir, bool replace) {
    std::filesystem::create_directories(dir);
    std::vector<std::string> present;
    for (const char* name : kResults)
        if (std::filesystem::exists(dir / name)) present.emplace_back(name);
    if (std::filesystem::exists(dir / "run.log")) present.emplace_back("run.log");
    if (!std::filesystem::exists(dir / kRecord) && !present.empty() && !replace) {
        std::string list;
        for (auto& name : present) list += (list.empty() ? "" : ", ") + name;
        throw ValueError(fmt::format(
            "output folder {} holds {}, which no run recorded writing there; choose another "
            "folder, or set base.replace_output = true to replace them",
            dir.string(), list));
    }
    // The folder is this run's from here on: the record first, then the earlier results go,
    // with what a killed run's writes left half done. The record keeps naming the earlier
    // run's mod files, so that remove_results finds them and a run killed meanwhile leaves
    // none unknown.
    const std::vector<std::string> earlier = recorded_mod_files(dir);
    write_record(dir, false, earlier);
    remove_results(dir);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        auto left_half_done = [&](std::string_view file) {
            return name.starts_with(fmt::format(".{}.tmp-", file));
        };
        if (left_half_done(kRecord) || std::ranges::any_of(kResults, left_half_done) ||
            std::ranges::any_of(earlier, left_half_done))
            std::filesystem::remove(entry.path(), ec);
    }
}

void remove_results(const std::filesystem::path& output_dir) {
    std::vector<std::string> names = recorded_mod_files(output_dir);
    names.insert(names.end(), kResults.begin(), kResults.end());
    for (const std::string& name : names) {
        std::error_code ec;
        std::filesystem::remove(output_dir / name, ec);
    }
}

void write_results(Environment& env, const RunResult& result) {
    const std::filesystem::path& dir = result.output_dir;
    std::filesystem::create_directories(dir);
    const State summary = run_summary(env, result);
    auto file = [&](const char* name, const std::function<void(std::ostream&)>& write) {
        write_file_atomically(dir / name, write, "result file");
    };
    std::vector<std::string> mod_files;
    for (auto& [name, write] : env.result_files()) mod_files.push_back(name);
    write_record(dir, false, mod_files);
    file("daily.csv", [&](std::ostream& out) { write_daily(result, out); });
    file("trades.csv", [&](std::ostream& out) { write_trades(result, out); });
    file("positions.csv", [&](std::ostream& out) { write_positions(env, out); });
    file("cash_flows.csv", [&](std::ostream& out) { write_cash_flows(env, out); });
    for (auto& mod_file : env.result_files())
        file(mod_file.first.c_str(), [&](std::ostream& out) { mod_file.second(env, out); });
    write_file_atomically(dir / "report.html", html_report(result, summary), "result file");
    // The summary last: where it is, every other result is already in place.
    file("summary.json", [&](std::ostream& out) { out << summary.dump(2) << "\n"; });
    write_record(dir, true, mod_files);
    system_log().info(fmt::format("results written to {}", dir.string()));
}

}  // namespace korvex
