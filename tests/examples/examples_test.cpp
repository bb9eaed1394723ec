// The example strategies on a generated bundle, checked against figures computed independently
// from the bundle's own tables: cash flows, repo interest, commissions, and a run restored from
// saved state against an uninterrupted one.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <fstream>
#include <map>

#include "generated_bundle.hpp"
#include "korvex/runner.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/sqlite_backend.hpp"

using namespace korvex;

namespace {

const std::filesystem::path& bundle() {
    return korvex::testing::generated_bundle(11, make_date(2019, 1, 2), make_date(2020, 12, 31),
                                             40);
}

// Reads numbers straight from the bundle's database, without the client.
class Db {
public:
    Db() {
        sqlite3_open_v2((bundle() / "tavlen.sqlite").c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    }
    ~Db() { sqlite3_close(db_); }
    std::vector<std::vector<double>> rows(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
        std::vector<std::vector<double>> out;
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<double> r;
            for (int i = 0; i < sqlite3_column_count(st); ++i)
                r.push_back(sqlite3_column_double(st, i));
            out.push_back(r);
        }
        sqlite3_finalize(st);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

struct ExampleRun {
    RunResult result;
    nlohmann::json summary;
};

ExampleRun run_example(const std::string& strategy, const std::string& start,
                       const std::string& end, const std::string& extra = "") {
    static korvex::testing::TempDir out;
    tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(bundle() / "tavlen.sqlite"));
    auto dir = out.path() / (strategy + start + end + std::to_string(extra.size()));
    Config config = Config::from_string(
        "[base]\nstart_date = \"" + start + "\"\nend_date = \"" + end +
        "\"\ndata_bundle_path = \"" + bundle().string() + "\"\nstrategy = \"" + strategy +
        "\"\nstrategy_libraries = [\"korvex_examples\"]\noutput_dir = \"" + dir.string() + "\"\n" +
        extra +
        "\n[base.accounts]\nSTOCK = 10000000\nBOND = 10000000\n[mod.bond]\nenabled = true\n");
    ExampleRun r{Runner(config).run(), {}};
    std::ifstream in(dir / "summary.json");
    r.summary = nlohmann::json::parse(in);
    tavlen::set_backend(nullptr);
    return r;
}

std::int32_t day_of(const TradePtr& t) {
    return convert_date_to_date_int(t->trading_datetime());
}

// The summary's income figures add up to its change of equity (docs/results.md).
void expect_identity(const nlohmann::json& s, const std::string& strategy) {
    const double explained =
        s["coupon_income"].get<double>() + s["payment_receivable"].get<double>() +
        s["price_pnl"].get<double>() + s["repo_interest_earned"].get<double>() -
        s["repo_interest_paid"].get<double>() - s["transaction_costs"].get<double>() -
        s["overdraft_interest"].get<double>();
    EXPECT_NEAR(s["final_equity"].get<double>() - s["starting_cash"].get<double>(), explained, 0.01)
        << strategy;
}

double named(const TradePtr& t, const char* name) {
    return t->attr(name).as_double();
}

}  // namespace

// The holder of record is owed each amount of the implied schedule: the units held as the day
// it becomes receivable begins, paid on the payment day that follows.
TEST(Examples, TheLadderReceivesExactlyTheBundlesCashFlows) {
    ExampleRun r = run_example("ib_ladder", "2019-01-02", "2020-12-31");
    ASSERT_FALSE(r.result.trades.empty());
    // Units bought of each bond by day (the ladder only buys).
    std::map<std::string, std::map<std::int32_t, double>> bought;
    for (auto& t : r.result.trades) bought[t->order_book_id()][day_of(t)] += t->last_quantity();
    Db db;
    double expected = 0;
    const std::int32_t first = 20190102,
                       last = convert_date_to_date_int(r.result.daily.back().date);
    for (auto& [id, buys] : bought) {
        auto rows = db.rows(
            "select date, total_payment, payment_receivable from implied_cash_flow where "
            "order_book_id = '" +
            id + "' order by date, total_payment");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            auto date = static_cast<std::int32_t>(rows[i][0]);
            std::size_t pay = i;
            while (pay < rows.size() && rows[pay][1] == 0) ++pay;
            if (date < first || pay == rows.size() || rows[pay][0] > last) continue;
            double held = 0;
            for (auto& [d, q] : buys)
                if (d < date) held += q;
            expected += rows[i][2] * held;
        }
    }
    ASSERT_GT(expected, 0);
    double received =
        r.summary["coupon_income"].get<double>() + r.summary["principal_repaid"].get<double>();
    EXPECT_NEAR(received, expected, 1e-6);
}

// The summary explains the equity: coupons paid and receivable, price P&L (principal repaid is
// capital coming back and sits in it), repo interest both ways and costs add up to the change;
// the cash flows written add up to each account's cash.
TEST(Examples, TheSummaryAndTheCashFlowsAddUpToTheBooks) {
    for (const std::string strategy :
         {"exchange_carry", "ib_ladder", "cash_management", "ib_carry"}) {
        ExampleRun r = run_example(strategy, "2019-01-02", "2020-12-31");
        expect_identity(r.summary, strategy);
        std::ifstream in(r.result.output_dir / "cash_flows.csv");
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line, "date,time,account,cause,order_book_id,order_id,trade_id,amount");
        std::map<std::string, double> cash;
        while (std::getline(in, line)) {
            const auto account_at = line.find(',', line.find(',') + 1) + 1;
            const std::string account =
                line.substr(account_at, line.find(',', account_at) - account_at);
            cash[account] += std::stod(line.substr(line.rfind(',') + 1));
        }
        for (const auto& a : r.result.daily.back().accounts)
            EXPECT_NEAR(cash[std::string(name(a.type))], a.cash, 1e-3) << strategy;
        // attribution.csv: each day's terms add up to that day's change of equity.
        std::ifstream attribution(r.result.output_dir / "attribution.csv");
        std::getline(attribution, line);
        EXPECT_EQ(line, "date,order_book_id,term,amount");
        std::map<std::string, double> by_day;
        while (std::getline(attribution, line))
            by_day[line.substr(0, 10)] += std::stod(line.substr(line.rfind(',') + 1));
        double before = r.summary["starting_cash"].get<double>();
        for (const auto& d : r.result.daily) {
            EXPECT_NEAR(by_day[format_date(d.date)], d.equity - before, 0.005)
                << strategy << " on " << format_date(d.date);
            before = d.equity;
        }
    }
}

// The carries roll enough or sell at every leverage they accept, and idle cash is lent every
// day: its return comes back usable on the due day.
TEST(Examples, NeverOverdrawAndLendEveryDay) {
    for (const std::string strategy : {"exchange_carry", "ib_carry"})
        for (const char* leverage : {"1.0", "2.0"}) {
            ExampleRun r = run_example(strategy, "2019-01-02", "2020-12-31",
                                       std::string("[strategy]\nleverage = ") + leverage);
            EXPECT_EQ(r.summary["overdraft_days"], 0) << strategy << " at " << leverage;
        }
    ExampleRun lending = run_example("cash_management", "2019-01-02", "2020-12-31");
    EXPECT_EQ(lending.summary["trades"], lending.summary["trading_days"]);
    EXPECT_EQ(lending.summary["overdraft_days"], 0);
}

// Between a record day and its payment the coupon is in equity once: as the holder's
// receivable, not also in the bond's price. On a record day the equity moves with the clean
// prices and a day's accrual, not by the coupon booked.
TEST(Examples, EquityDoesNotJumpByTheCouponOnRecordDays) {
    ExampleRun r = run_example("ib_ladder", "2019-01-02", "2020-12-31");
    std::map<std::string, std::map<std::int32_t, double>> bought;
    for (auto& t : r.result.trades) bought[t->order_book_id()][day_of(t)] += t->last_quantity();
    Db db;
    std::map<std::string, std::map<std::int32_t, double>> clean;
    for (auto& [id, buys] : bought)
        for (auto& row : db.rows("select date, clean_price from valuation where order_book_id = '" +
                                 id + "' and source = 'chinabond'"))
            clean[id][static_cast<std::int32_t>(row[0])] = row[1];
    std::size_t at = 0;
    while (r.result.metric_names[at] != "payment_receivable") ++at;
    int record_days = 0;
    for (std::size_t i = 1; i < r.result.daily.size(); ++i) {
        const auto& today = r.result.daily[i];
        const auto& before = r.result.daily[i - 1];
        const double booked = today.metrics[at] - before.metrics[at];
        if (booked <= 0) continue;
        ++record_days;
        const auto d = convert_date_to_date_int(today.date),
                   d0 = convert_date_to_date_int(before.date);
        double price_move = 0;
        for (auto& [id, buys] : bought) {
            double held = 0;
            for (auto& [day, q] : buys) held += day <= d0 ? q : 0;
            if (held > 0 && clean[id].count(d) && clean[id].count(d0))
                price_move += held * (clean[id][d] - clean[id][d0]);
        }
        EXPECT_LT(std::abs(today.equity - before.equity - price_move), booked / 10)
            << format_date(today.date);
    }
    EXPECT_GT(record_days, 3);
}

TEST(Examples, LendingEarnsTheQuotedRateOverTheHoldingDays) {
    ExampleRun r = run_example("cash_management", "2019-01-02", "2019-06-28");
    Db db;
    std::map<std::int32_t, double> rate;
    for (auto& row :
         db.rows("select date, weighted from repo_quotation where order_book_id = '204001.SH'"))
        rate[static_cast<std::int32_t>(row[0])] = row[1];
    double expected = 0;
    int settled = 0;
    const Date end = r.result.daily.back().date;
    for (auto& t : r.result.trades) {
        ASSERT_EQ(t->order_book_id(), "204001.SH");
        Date due = to_date(t->attr("due_settlement_date").as_datetime());
        // Holding days from the calendar: the next trading day after the trade.
        Date traded = to_date(t->trading_datetime());
        auto it = std::upper_bound(r.result.daily.begin(), r.result.daily.end(), traded,
                                   [](Date d, const DailyRecord& rec) { return d < rec.date; });
        if (it != r.result.daily.end()) {
            EXPECT_EQ(due, it->date);
        }
        if (due > end) continue;
        double days = static_cast<double>((due - traded).count());
        expected += t->last_quantity() * rate.at(day_of(t)) / 365 * days;
        ++settled;
    }
    ASSERT_GT(settled, 50);  // cash comes back at the due day's settlement: every other day
    EXPECT_NEAR(r.summary["repo_interest_earned"].get<double>(), expected, 1e-6);
}

TEST(Examples, CommissionsFollowTheCapTheFloorAndTheRepoSchedule) {
    ExampleRun r = run_example("exchange_carry", "2019-01-02", "2019-12-31");
    int bonds = 0, repos = 0;
    for (auto& t : r.result.trades) {
        const std::string& id = t->order_book_id();
        double value = t->last_price() * t->last_quantity();
        double expected;
        if (id == "204001.SH") {
            expected = t->last_quantity() * 0.00001;  // one-day exchange repo
            ++repos;
        } else if (id.ends_with(".SH") || id.ends_with(".SZ")) {
            expected = std::min(100.0, value * 0.0001);
            ++bonds;
        } else {
            expected = std::max(10.0, value * 0.00002);
        }
        EXPECT_NEAR(t->commission(), expected, 1e-9) << id;
        EXPECT_EQ(t->tax(), 0.0);
    }
    EXPECT_GT(bonds, 0);
    EXPECT_GT(repos, 100);
    // Interest paid is each financing's amount x rate / 365 x holding days.
    double interest = 0;
    for (auto& t : r.result.trades)
        if (t->order_book_id() == "204001.SH" &&
            to_date(t->attr("due_settlement_date").as_datetime()) <= r.result.daily.back().date)
            interest +=
                t->last_quantity() * t->last_price() / 365 * named(t, "actual_holding_days");
    EXPECT_NEAR(r.summary["repo_interest_paid"].get<double>(), interest, 1e-6);
}

// Split at a day and resumed, each example (its own state saved with the books) goes on as the
// uninterrupted run: the same equity every day after, to the cent. Filled at the next day's open,
// the orders placed on the saved day are saved open and fill on the resumed run's first day.
TEST(Examples, ARunRestoredHalfwayEndsWithTheSameEquity) {
    const std::string next_bar = "\n[mod.sys_simulation]\nmatching_type = \"next_bar\"\n";
    for (const auto& [strategy, settings] :
         std::vector<std::pair<std::string, std::string>>{{"exchange_carry", ""},
                                                          {"ib_ladder", ""},
                                                          {"cash_management", ""},
                                                          {"ib_carry", ""},
                                                          {"exchange_carry", next_bar}}) {
        ExampleRun whole = run_example(strategy, "2019-01-02", "2019-12-31", settings);
        korvex::testing::TempDir dir;
        auto state = (dir.path() / "state.json").string();
        run_example(strategy, "2019-01-02", "2019-06-28",
                    "save_state_to = \"" + state + "\"" + settings);
        if (!settings.empty()) {
            std::ifstream in(state);
            EXPECT_FALSE(nlohmann::json::parse(in)["orders"].empty()) << "no order was open";
        }
        ExampleRun resumed = run_example(strategy, "2019-01-02", "2019-12-31",
                                         "resume_from = \"" + state + "\"" + settings);
        ASSERT_EQ(resumed.result.daily.front().date, make_date(2019, 7, 1)) << strategy;
        const auto& all = whole.result.daily;
        const std::size_t offset = all.size() - resumed.result.daily.size();
        for (std::size_t i = 0; i < resumed.result.daily.size(); ++i)
            ASSERT_NEAR(resumed.result.daily[i].equity, all[offset + i].equity, 0.005)
                << strategy << " on " << format_date(all[offset + i].date);
        // The segment's summary explains its own change of equity, from the saved close.
        expect_identity(resumed.summary, strategy);
    }
}
