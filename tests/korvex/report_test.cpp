// The HTML report written from a run built by hand: self-contained, charts present, text escaped,
// figures formatted, large runs kept small.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "korvex/errors.hpp"
#include "report_format.hpp"
#include "report_sample.hpp"

using namespace korvex;
using korvex::testing::sample_run;
using korvex::testing::sample_trades;
using korvex::testing::TempDir;

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// Number of points of each line drawn, in page order.
std::vector<std::size_t> polyline_sizes(const std::string& html) {
    // Searched by hand: std::regex recurses per character and overflows the stack on a page.
    std::vector<std::size_t> out;
    for (auto at = html.find("<polyline "); at != std::string::npos;
         at = html.find("<polyline ", at + 1)) {
        const auto end = html.find('>', at);
        const auto points = html.find("points=\"", at);
        if (points == std::string::npos || points > end) continue;
        const auto from = points + 8;
        out.push_back(count(html.substr(from, html.find('"', from) - from), ","));
    }
    return out;
}

struct ReportTest : ::testing::Test {
    TempDir dir;
    Environment env{Config()};
    std::string write(const RunResult& result, const State& summary) {
        auto path = dir.path() / "report.html";
        write_html_report(result, summary, path);
        return read_file(path);
    }
};

}  // namespace

TEST_F(ReportTest, PageFetchesNothingFromOutside) {
    auto run = sample_run();
    run.result.trades = sample_trades(env);
    std::string html = write(run.result, run.summary);
    ASSERT_GT(html.size(), 5000u);
    for (const char* outside : {"http://", "https://", "src=", "href=", "@import", "url(", "//cdn"})
        EXPECT_EQ(count(html, outside), 0u) << outside;
    EXPECT_EQ(html.rfind("<!doctype html>", 0), 0u);
    EXPECT_NE(html.find("</html>"), std::string::npos);
}

TEST_F(ReportTest, DrawsEquityDrawdownBalancesAndTheModsSections) {
    auto run = sample_run();
    std::string html = write(run.result, run.summary);
    EXPECT_EQ(count(html, "<svg"), 4u);
    EXPECT_EQ(count(html, "<svg class=\"chart timechart\""), 3u);
    EXPECT_EQ(count(html, "<svg class=\"chart barchart\""), 1u);
    for (const char* line : {"Total equity", "BOND equity", "STOCK equity", "Drawdown",
                             "Market value", "Repo borrowed", "Repo lent"})
        EXPECT_EQ(count(html, std::string("data-name=\"") + line + "\""), 1u) << line;
    // The host's balances and the section's, which names a column the run lacks.
    EXPECT_EQ(count(html, "data-name=\"Cash\""), 2u);
    EXPECT_EQ(count(html, "data-name=\"Absent\""), 0u);
    EXPECT_LT(html.find("<h2>Cash and market value</h2>"),
              html.find("<h2>Cash and repo balances</h2>"));
    // Every line has one point per day of a short run, with the date ticks on Mondays.
    for (std::size_t n : polyline_sizes(html)) EXPECT_EQ(n, 40u);
    EXPECT_NE(html.find(">2021-03-08</text>"), std::string::npos);
    // The drawdown bottoms at the 3% fall, shown on a percent axis.
    EXPECT_NE(html.find(">-3%</text>"), std::string::npos);
}

// A section's columns summed by month as stacked bars, and by year and over the deepest
// drawdown in a table.
TEST_F(ReportTest, SectionsSumColumnsByMonthAndByYear) {
    auto run = sample_run();  // 23 weekdays of March 2021 and 17 of April, 100,000 lent a day
    run.result.report_sections = {{.title = "Lending",
                                   .monthly_stack = {{"Lent", "repo_lent", "#2563eb"}},
                                   .yearly_table = {{"Lent", "repo_lent", "#2563eb"}}}};
    std::string html = write(run.result, run.summary);
    EXPECT_NE(html.find("<title>2021-03 Lent: 2,300,000.00</title>"), std::string::npos);
    EXPECT_NE(html.find("<title>2021-04 Lent: 1,700,000.00</title>"), std::string::npos);
    EXPECT_NE(html.find("<tr><td>2021</td><td class=\"n\">4,000,000.00</td>"
                        "<td class=\"n\">4,000,000.00</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<tr><td>All</td><td class=\"n\">4,000,000.00</td>"), std::string::npos);
    // The deepest drawdown: the close of the 20th day to the 21st, one day's 100,000.
    EXPECT_NE(html.find("<tr><td>Drawdown 2021-03-26 to 2021-03-29</td><td class=\"n\">"
                        "100,000.00</td>"),
              std::string::npos);
}

TEST_F(ReportTest, IncomeBarsShowCostsBelowZeroAndSkipAbsentSources) {
    auto run = sample_run();
    std::string html = write(run.result, run.summary);
    EXPECT_NE(html.find("<rect class=\"pos\""), std::string::npos);
    for (const char* bar :
         {"<title>Coupons: 30,000.00</title>", "<title>Repo interest earned: 120.00</title>",
          "<title>Repo interest paid: -2,500.25</title>", "<title>Costs: -150.50</title>"})
        EXPECT_NE(html.find(bar), std::string::npos) << bar;
    EXPECT_EQ(count(html, "<title>Principal"), 0u);
    EXPECT_EQ(count(html, "<title>Price"), 0u);
    EXPECT_EQ(count(html, "<rect class=\"neg\""), 2u);
}

TEST_F(ReportTest, RunWithoutSectionsShowsCashAndMarketValueOnly) {
    auto run = sample_run(40, false);
    for (const char* key :
         {"coupon_income", "repo_interest_paid", "repo_interest_earned", "transaction_costs"})
        run.summary.erase(key);
    std::string html = write(run.result, run.summary);
    EXPECT_EQ(count(html, "<svg"), 2u);
    EXPECT_EQ(count(html, "Income by source"), 0u);
    EXPECT_NE(html.find("<h2>Cash and market value</h2>"), std::string::npos);
    EXPECT_EQ(count(html, "data-name=\"Market value\""), 1u);
    EXPECT_EQ(count(html, "data-name=\"Repo"), 0u);
    EXPECT_EQ(count(html, "<h2>Daily metrics</h2>"), 0u);
}

TEST_F(ReportTest, SummaryListsEveryKeyFormatted) {
    auto run = sample_run();
    std::string html = write(run.result, run.summary);
    for (auto& [key, value] : run.summary.items())
        EXPECT_NE(html.find("<span class=\"key\">" + report::html_escape(key) + "</span>"),
                  std::string::npos)
            << key;
    for (const char* cell :
         {">Total return<span class=\"key\">total_return</span></td>"
          "<td class=\"n\">2.35%</td>",
          ">1,023,456.79</td>", ">1,000,000.00</td>", ">15.10%</td>", ">2.91%</td>", ">1.23</td>",
          ">40</td>", ">2,500.25</td>", ">2021-03-01</td>"})
        EXPECT_NE(html.find(cell), std::string::npos) << cell;
    // The header cards repeat the key figures.
    EXPECT_NE(html.find("<div class=\"l\">Final equity</div><div class=\"v\">1,023,456.79</div>"),
              std::string::npos);
    EXPECT_NE(html.find("2021-03-01 to 2021-04-23 &middot; 40 trading days"), std::string::npos);
}

TEST_F(ReportTest, EscapesEveryTextFromTheRun) {
    auto run = sample_run();
    run.result.trades = sample_trades(env);
    run.result.metric_names[2] = "lev<er>age";
    std::string html = write(run.result, run.summary);
    EXPECT_EQ(count(html, "<script"), 1u);  // the page's own
    EXPECT_EQ(count(html, "<b>"), 0u);
    EXPECT_EQ(count(html, "<i>"), 0u);
    EXPECT_EQ(count(html, "<er>"), 0u);
    EXPECT_NE(html.find("<td>&lt;script&gt;&amp;x</td>"), std::string::npos);
    EXPECT_NE(html.find("note_&lt;b&gt;"), std::string::npos);
    EXPECT_NE(html.find(">A&amp;B &lt;i&gt;</td>"), std::string::npos);
    EXPECT_NE(html.find("lev&lt;er&gt;age"), std::string::npos);
}

TEST_F(ReportTest, TradesTableCarriesRepoTerms) {
    auto run = sample_run();
    run.result.trades = sample_trades(env);
    std::string html = write(run.result, run.summary);
    for (const char* header : {"<th title=\"repo_period\">Repo period</th>",
                               "<th title=\"due_settlement_date\">Due settlement date</th>",
                               "<th title=\"due_settlement_amount\">Due settlement amount</th>"})
        EXPECT_NE(html.find(header), std::string::npos) << header;
    EXPECT_EQ(count(html, "<th title=\"commission\""), 0u);
    EXPECT_NE(html.find("<tr><td class=\"n\">2</td><td>2021-03-03 10:15:00</td><td>204001.XSHG</td>"
                        "<td class=\"sell\">SELL</td><td>OPEN</td><td class=\"n\">2.15</td>"
                        "<td class=\"n\">300,000</td><td class=\"n\">3.00</td>"
                        "<td class=\"n\">0.00</td><td class=\"n\">1</td><td>2021-03-09</td>"
                        "<td class=\"n\">300,017.67</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<td class=\"n\">101.2345</td><td class=\"n\">10,000</td>"
                        "<td class=\"n\">12.50</td><td class=\"n\">0.00</td><td></td><td></td>"
                        "<td></td></tr>"),
              std::string::npos);
    EXPECT_EQ(count(html, "Showing the first"), 0u);
}

TEST_F(ReportTest, LargeRunIsDownsampledAndTradesCapped) {
    auto run = sample_run(3000);
    run.result.trades = sample_trades(env, 2100);
    std::string html = write(run.result, run.summary);
    auto sizes = polyline_sizes(html);
    ASSERT_EQ(sizes.size(), 9u);  // total, two accounts, drawdown; cash, market value; cash,
                                  // borrowed, lent
    std::size_t equity_chart = sizes[0] + sizes[1] + sizes[2] + sizes[3];
    std::size_t balance_chart = sizes[6] + sizes[7] + sizes[8];
    EXPECT_LE(equity_chart, 810u);
    EXPECT_LE(balance_chart, 810u);
    for (std::size_t n : sizes) EXPECT_GE(n, 100u);
    EXPECT_EQ(count(html, "<tr><td class=\"n\">"), 2000u);
    EXPECT_NE(html.find("Showing the first 2,000 of 2,100 trades; trades.csv lists them all."),
              std::string::npos);
    EXPECT_LT(html.size(), 1'200'000u);
}

TEST_F(ReportTest, FlatRunKeepsTheDrawdownAxisToAPercent) {
    auto run = sample_run(30, false);
    for (auto& d : run.result.daily) d.equity = 1e6;
    std::string html = write(run.result, run.summary);
    EXPECT_NE(html.find(">-1.0%</text>"), std::string::npos);
    EXPECT_NE(html.find(">0.0%</text>"), std::string::npos);
    EXPECT_EQ(count(html, "100%</text>"), 0u);
}

TEST_F(ReportTest, EmptyRunStillWritesAPage) {
    std::string html = write(RunResult{}, State::object());
    EXPECT_EQ(count(html, "<svg"), 0u);
    EXPECT_EQ(count(html, "no trading days in this run"), 2u);
    EXPECT_NE(html.find("no trades in this run"), std::string::npos);
}

TEST_F(ReportTest, UnwritablePathIsNamed) {
    auto path = dir.path() / "missing" / "report.html";
    try {
        write_html_report(RunResult{}, State::object(), path);
        FAIL() << "expected RuntimeError";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot write report " + path.string() + ": No such file or directory");
    }
}
