// Whole backtests in which a strategy reads bonds, repos, their bars and the inter-bank calendar
// served by the bond mod's stores from the in-memory client.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bond_data_fixtures.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"

namespace {

using bond_test::make_table;
using korvex::INSTRUMENT_TYPE;
using korvex::TRADING_CALENDAR_TYPE;

const std::vector<std::int32_t> DAYS{20200102, 20200103, 20200106, 20200107};
// The inter-bank market also traded on a Sunday that the exchanges did not.
const std::vector<std::int32_t> IB_DAYS{20200102, 20200103, 20200105, 20200106, 20200107};
const std::string IB_BOND = "190210.IB";
const std::string SH_BOND = "019547.SH";

// Valuations near 100, prices near 200: a close tells which source it came from.
double valuation_close(std::size_t day, bool inter_bank) {
    return 100.0 + static_cast<double>(day) + (inter_bank ? 0.1 : 0.2);
}
double price_close(std::size_t day, bool inter_bank) {
    return 200.0 + static_cast<double>(day) + (inter_bank ? 0.1 : 0.2);
}

void fill_client(tavlen::MemoryBackend& client) {
    client.set_bond_list("bond", {IB_BOND, SH_BOND});
    client.set_bond_list("repo", {"R007.IB", "204001.SH"});
    for (const auto& id : {IB_BOND, SH_BOND})
        client.add_instrument(korvex::Record{{"order_book_id", id},
                                             {"listed_date", std::nullopt},
                                             {"de_listed_date", korvex::make_datetime(2029, 1, 1)},
                                             {"exchange", id == IB_BOND ? "CFETS" : "XSHG"},
                                             {"initial_issue_size", 1e9}});
    client.add_instrument(korvex::Record{{"order_book_id", "R007.IB"}, {"repo_period", 7}});
    client.add_instrument(korvex::Record{{"order_book_id", "204001.SH"}, {"repo_period", 1}});

    std::vector<korvex::Date> ib_days;
    for (auto d : IB_DAYS) ib_days.push_back(korvex::date_from_int(d));
    client.set_trading_dates(ib_days);

    for (const auto& id : {IB_BOND, SH_BOND}) {
        const bool ib = id == IB_BOND;
        std::vector<bond_test::Row> valuations, prices;
        for (std::size_t i = 0; i < DAYS.size(); ++i) {
            const double v = valuation_close(i, ib), p = price_close(i, ib);
            valuations.push_back({DAYS[i], {v, 0.05, 2.5, v - 1, 4.1, 20.0, 5.0, 100.0}});
            prices.push_back({DAYS[i], {p - 0.5, p + 0.5, p - 1, p, 2.6, p - 1, 1000.0}});
        }
        client.set_valuation(
            id, make_table(id,
                           {"dirty_price_eod", "dv01", "ytm", "clean_price", "modified_duration",
                            "convexity", "time_to_maturity", "residual_principal"},
                           valuations));
        client.set_price(id,
                         make_table(id,
                                    {"dirty_price_open", "dirty_price_high", "dirty_price_low",
                                     "dirty_price_eod", "ytm_close", "clean_price_eod", "volume"},
                                    prices));
    }
    std::vector<bond_test::Row> quotes;
    for (std::size_t i = 0; i < DAYS.size(); ++i)
        quotes.push_back(
            {DAYS[i], {2.0, 2.1 + static_cast<double>(i), 2.3, 1.9, i % 2 ? 5e8 : 0.0, 1e9, 2.05}});
    client.set_quotation("R007.IB", make_table("R007.IB",
                                               {"open", "close", "high", "low", "volume",
                                                "total_turnover", "weighted"},
                                               quotes));
}

// What the strategy saw, day by day.
struct Seen {
    std::vector<double> ib_close, sh_close, repo_close, repo_volume;
    std::vector<std::size_t> minute_bars_of_sh, minute_bars_of_ib;
    std::vector<korvex::Date> inter_bank_calendar;
    std::vector<INSTRUMENT_TYPE> types;
    std::vector<korvex::DEFAULT_ACCOUNT_TYPE> accounts;
};

class ReadingStrategy : public korvex::Strategy {
public:
    explicit ReadingStrategy(Seen& seen) : seen_(seen) {}

    void init(korvex::StrategyContext& context) override {
        auto& data = context.data_proxy();
        for (const char* id : {"190210.IB", "019547.SH", "R007.IB", "204001.SH"}) {
            seen_.types.push_back(data.instruments(id)->type());
            seen_.accounts.push_back(data.instruments(id)->account_type());
        }
        seen_.inter_bank_calendar = data.trading_calendar(TRADING_CALENDAR_TYPE::INTER_BANK);
    }
    // At the close: the day's bars are known from then on.
    void after_trading(korvex::StrategyContext& context) override {
        auto& data = context.data_proxy();
        const std::int64_t today = korvex::convert_date_to_int(korvex::to_date(context.now()));
        seen_.ib_close.push_back(close_on(data.day_bars(IB_BOND), today));
        seen_.sh_close.push_back(close_on(data.day_bars(SH_BOND), today));
        const korvex::Bars repo = data.day_bars("R007.IB");
        const std::size_t i = repo.find(today);
        seen_.repo_close.push_back(i == korvex::Bars::npos ? NAN : repo.get(i, "close"));
        seen_.repo_volume.push_back(i == korvex::Bars::npos ? -1 : repo.get(i, "volume"));
        if (context.config().at("base.frequency").as_string() == "1m") {
            seen_.minute_bars_of_sh.push_back(data.minute_bars(SH_BOND).size());
            seen_.minute_bars_of_ib.push_back(data.minute_bars(IB_BOND).size());
        }
    }

private:
    static double close_on(const korvex::Bars& bars, std::int64_t stamp) {
        const std::size_t i = bars.find(stamp);
        return i == korvex::Bars::npos ? NAN : bars.get(i, "close");
    }
    Seen& seen_;
};

class BondDataRun : public testing::Test {
protected:
    BondDataRun() {
        fill_client(*client);
        bond_test::write_trading_dates(bundle.path(), DAYS);
    }

    Seen run(const std::string& valuation_source, const std::string& frequency) {
        korvex::Config config = korvex::Config::from_string(
            "[base]\nrun_type = \"BACKTEST\"\nstart_date = \"2020-01-02\"\n"
            "end_date = \"2020-01-07\"\nfrequency = \"" +
            frequency + "\"\ndata_bundle_path = \"" + bundle.path().string() +
            "\"\noutput_dir = \"\"\n[base.accounts]\nSTOCK = 1000000\nBOND = 1000000\n"
            "[log]\nlevel = \"warning\"\n[mod.bond]\nvaluation_source = \"" +
            valuation_source + "\"\n");
        Seen seen;
        korvex::Runner runner(std::move(config));
        runner.add_mod("bond", std::make_unique<korvex_mod_bond::BondMod>());
        runner.set_strategy(std::make_unique<ReadingStrategy>(seen));
        runner.run();
        return seen;
    }

    bond_test::MemoryClient client;
    bond_test::TempDir bundle;
};

class BondDataEndToEnd : public BondDataRun, public testing::WithParamInterface<std::string> {};

TEST_P(BondDataEndToEnd, StrategySeesBondsReposTheirBarsAndTheInterBankCalendar) {
    const std::string source = GetParam();
    const Seen seen = run(source, "1d");

    EXPECT_EQ(seen.types,
              (std::vector<INSTRUMENT_TYPE>{INSTRUMENT_TYPE::BOND, INSTRUMENT_TYPE::BOND,
                                            INSTRUMENT_TYPE::REPO, INSTRUMENT_TYPE::REPO}));
    using korvex::DEFAULT_ACCOUNT_TYPE;
    EXPECT_EQ(seen.accounts, (std::vector<DEFAULT_ACCOUNT_TYPE>{
                                 DEFAULT_ACCOUNT_TYPE::BOND, DEFAULT_ACCOUNT_TYPE::STOCK,
                                 DEFAULT_ACCOUNT_TYPE::BOND, DEFAULT_ACCOUNT_TYPE::STOCK}));
    std::vector<korvex::Date> ib_days;
    for (auto d : IB_DAYS) ib_days.push_back(korvex::date_from_int(d));
    EXPECT_EQ(seen.inter_bank_calendar, ib_days);

    const bool ib_valued = source != "exchange";
    const bool sh_valued = source == "chinabond";
    ASSERT_EQ(seen.ib_close.size(), DAYS.size());
    for (std::size_t i = 0; i < DAYS.size(); ++i) {
        EXPECT_EQ(seen.ib_close[i], ib_valued ? valuation_close(i, true) : price_close(i, true))
            << DAYS[i];
        EXPECT_EQ(seen.sh_close[i], sh_valued ? valuation_close(i, false) : price_close(i, false))
            << DAYS[i];
        EXPECT_EQ(seen.repo_close[i], 2.1 + static_cast<double>(i)) << DAYS[i];
        if (i % 2)
            EXPECT_EQ(seen.repo_volume[i], 5e8);
        else
            EXPECT_TRUE(std::isnan(seen.repo_volume[i])) << DAYS[i];
    }
    // Four days of bars were fetched once per instrument, whatever the number of reads.
    EXPECT_EQ(client->count("get_valuation") + client->count("get_price"), 2u);
    EXPECT_EQ(client->count("currency_market_quotation"), 1u);
}

INSTANTIATE_TEST_SUITE_P(ValuationSources, BondDataEndToEnd,
                         testing::Values("chinabond", "exchange", "auto"));

struct MinuteBar {
    std::int64_t datetime;
    double open, high, low, close, volume, total_turnover;
};
static_assert(sizeof(MinuteBar) == 56);

TEST_F(BondDataRun, MinuteRunServesTheBondsMinuteBarsFromTheBundle) {
    const std::vector<MinuteBar> bars{{20200102093100, 101, 101.2, 100.9, 101.1, 10, 1011},
                                      {20200102093200, 101.1, 101.3, 101, 101.2, 20, 2024},
                                      {20200103093100, 101.2, 101.2, 101, 101.0, 5, 505}};
    korvex_mod_lumeq_data::write_h5_minute_bars(bundle.path() / "h5" / (SH_BOND + ".h5"),
                                                korvex_mod_bond::bond_minbar_layout(),
                                                std::as_bytes(std::span(bars)));
    const Seen seen = run("auto", "1m");
    // What has ended by each close: the first day's two minutes, then all three.
    EXPECT_EQ(seen.minute_bars_of_sh, (std::vector<std::size_t>{2, 3, 3, 3}));
    EXPECT_EQ(seen.minute_bars_of_ib, std::vector<std::size_t>(DAYS.size(), 0));
    EXPECT_EQ(seen.ib_close.front(), valuation_close(0, true));
}

}  // namespace
