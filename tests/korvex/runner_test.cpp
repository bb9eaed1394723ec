// A whole run: validation before anything starts, mod start-up and tear-down, results.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "korvex/api.hpp"
#include "korvex/atomic_file.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/portfolio/account.hpp"
#include "korvex/run_log.hpp"
#include "korvex/runner.hpp"
#include "korvex_test_support.hpp"

using namespace korvex;
using korvex::testing::TempDir;

namespace {

struct Calls {
    int start_up = 0, tear_down = 0, tear_down_code = -1;
    bool tear_down_had_error = false;
};

class CountingMod : public AbstractMod {
public:
    CountingMod(Calls& calls, bool fail) : calls_(calls), fail_(fail) {}
    void start_up(Environment&, const ConfigNode& cfg) override {
        ++calls_.start_up;
        EXPECT_EQ(cfg.path(), "mod.counting");
        if (fail_) throw RuntimeError("start-up failed on purpose");
    }
    void tear_down(int code, std::exception_ptr e) override {
        ++calls_.tear_down;
        calls_.tear_down_code = code;
        calls_.tear_down_had_error = e != nullptr;
    }

private:
    Calls& calls_;
    bool fail_;
};

struct RunnerFixture : ::testing::Test {
    TempDir dir;
    Config config;
    void SetUp() override {
        korvex::testing::write_trading_dates(
            dir.path(), korvex::testing::weekdays(make_date(2020, 1, 1), make_date(2020, 1, 31)));
        config.set("base.start_date", Value("2020-01-02"));
        config.set("base.end_date", Value("2020-01-10"));
        config.set("base.data_bundle_path", Value(dir.path().string()));
        config.set("base.output_dir", Value((dir.path() / "out").string()));
        config.set_table("base.accounts", {{"STOCK", Value(1000.0)}, {"BOND", Value(500.0)}});
        config.set_table("mod.counting", {});
    }
    std::string run_error() {
        try {
            Runner(config).run();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "<no error>";
    }
};

}  // namespace

TEST_F(RunnerFixture, RefusesBadSettingsBeforeAnythingRuns) {
    config.set("base.start_date", Value("2020-02-01"));
    EXPECT_EQ(run_error(), "base.start_date 2020-02-01 is after base.end_date 2020-01-10");
    config.set("base.start_date", Value("2020-01-02"));
    config.set_table("base.accounts", {{"SAVINGS", Value(1.0)}});
    EXPECT_EQ(run_error(),
              "unknown account type 'SAVINGS' in base.accounts (known: STOCK, FUTURE, BOND)");
    config.set_table("base.accounts", {{"STOCK", Value(1.0)}});
    config.set("base.frequency", Value("5m"));
    EXPECT_EQ(run_error(), "base.frequency '5m' is not one of 1d, 1m, tick");
    config.set("base.frequency", Value("1d"));
    config.set("base.speed", Value(2));
    EXPECT_EQ(run_error(), "unknown configuration entry base.speed");
    config.erase("base.speed");
    config.set("mod.nosuch.enabled", Value(true));
    std::string msg = run_error();
    EXPECT_NE(msg.find("mod 'nosuch' is enabled but cannot be loaded: no module named "
                       "'korvex_mod_nosuch': libkorvex_mod_nosuch.so not found in "),
              std::string::npos)
        << msg;
}

// Settings that would otherwise be ignored or read as another value.
TEST_F(RunnerFixture, RefusesWrongSimulationSettingsNamingThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"mod.sys_simulation.matching_type=\"next-bar\"",
         "mod.sys_simulation.matching_type 'next-bar' is not one of current_bar, next_bar"},
        {"mod.sys_simulation.slippage=-0.5",
         "mod.sys_simulation.slippage must be a fraction in [0, 1), got -0.5"},
        {"mod.sys_simulation.volume_percent=0",
         "mod.sys_simulation.volume_percent must be a fraction in (0, 1], got 0"},
        {"mod.sys_simulation.slipage=0.1",
         "unknown configuration entry mod.sys_simulation.slipage (did you mean "
         "mod.sys_simulation.slippage?)"},
        {"mod.sys_simulation.speed=2", "unknown configuration entry mod.sys_simulation.speed"},
        {"mod.sys_simulation.overdraft_rate=-1",
         "mod.sys_simulation.overdraft_rate must be a yearly rate >= 0, got -1"},
        {"mod.sys_simulation.on_shortfall=\"panic\"",
         "mod.sys_simulation.on_shortfall 'panic' is not one of overdraft, stop"},
        {"base.accounts.STOCK=9007199254740993",
         "configuration entry base.accounts.STOCK: 9007199254740993 is too large to be a number "
         "exactly (at most 9007199254740992)"},
    };
    for (auto& [assignment, error] : cases) {
        Config saved = Config::from_string(config.to_toml());
        config.set_override(assignment);
        EXPECT_EQ(run_error(), error) << assignment;
        config = std::move(saved);
    }
}

// What the host cannot run, and a span the data does not cover, are named with the data's span.
TEST_F(RunnerFixture, SaysWhatItCannotRunAndWhereTheDataEnds) {
    config.set("base.run_type", Value("PAPER_TRADING"));
    EXPECT_EQ(run_error(), "base.run_type PAPER_TRADING: this host runs backtests only (BACKTEST)");
    config.set("base.run_type", Value("BACKTEST"));
    config.set("base.start_date", Value("2019-06-03"));
    config.set("base.end_date", Value("2019-06-28"));
    EXPECT_EQ(run_error(),
              "no trading day between 2019-06-03 and 2019-06-28 in the calendar (the "
              "data covers 2020-01-01 to 2020-01-31)");
    config.set("base.start_date", Value("2020-01-02"));
    config.set("base.end_date", Value("2020-03-31"));
    LogCapture log;
    EXPECT_EQ(run_error(), "<no error>");
    const auto lines = log.messages("system_log");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "the run covers 2020-01-02 to 2020-01-31 of base.start_date 2020-01-02 to "
                        "base.end_date 2020-03-31: the data covers 2020-01-01 to 2020-01-31"),
              lines.end());
    std::ofstream(dir.path() / "empty.toml") << "\n  \n";
    EXPECT_EQ(korvex::testing::error_of<ValueError>(
                  [&] { Config().merge_file(dir.path() / "empty.toml"); }),
              "configuration file " + (dir.path() / "empty.toml").string() + " is empty");
}

TEST_F(RunnerFixture, StartsEachModOnceAndTearsItDownOnceAlsoWhenTheRunFails) {
    Calls ok, failing;
    {
        // Enabled by name as well: still the one in-process instance, not a second from a library.
        config.set("mod.counting.enabled", Value(true));
        Runner runner(config);
        runner.add_mod("counting", std::make_unique<CountingMod>(ok, false));
        RunResult r = runner.run();
        EXPECT_EQ(r.daily.size(), 7u);
    }
    EXPECT_EQ(ok.start_up, 1);
    EXPECT_EQ(ok.tear_down, 1);
    EXPECT_EQ(ok.tear_down_code, 0);
    EXPECT_FALSE(ok.tear_down_had_error);

    Runner runner(config);
    runner.add_mod("counting", std::make_unique<CountingMod>(failing, true));
    EXPECT_THROW(runner.run(), RuntimeError);
    EXPECT_EQ(failing.start_up, 1);
    EXPECT_EQ(failing.tear_down, 1);
    EXPECT_EQ(failing.tear_down_code, 1);
    EXPECT_TRUE(failing.tear_down_had_error);
}

TEST_F(RunnerFixture, WritesDailyRowsAndASummary) {
    Runner runner(config);
    RunResult r = runner.run();
    ASSERT_EQ(r.daily.size(), 7u);
    std::ifstream daily(dir.path() / "out" / "daily.csv");
    std::string header, first;
    std::getline(daily, header);
    std::getline(daily, first);
    EXPECT_EQ(header,
              "date,STOCK_cash,STOCK_market_value,STOCK_equity,BOND_cash,BOND_market_value,"
              "BOND_equity,cash,market_value,equity");
    EXPECT_EQ(first,
              "2020-01-02,1000.000000,0.000000,1000.000000,500.000000,0.000000,500.000000,"
              "1500.000000,0.000000,1500.000000");
    std::ifstream summary_file(dir.path() / "out" / "summary.json");
    auto summary = nlohmann::json::parse(summary_file);
    EXPECT_EQ(summary["final_equity"], 1500.0);
    EXPECT_EQ(summary["trading_days"], 7);
    EXPECT_EQ(summary["max_drawdown"], 0.0);
}

// A folder of someone else's results is refused and left alone; a run that fails after an
// earlier one leaves no summary that passes for its own, and a record saying so.
TEST_F(RunnerFixture, ResultsAreAllThereOrNotThereAndOthersFilesAreLeftAlone) {
    const auto out = dir.path() / "out";
    std::filesystem::create_directories(out);
    std::ofstream(out / "summary.json") << "mine";
    EXPECT_EQ(run_error(), "output folder " + out.string() +
                               " holds summary.json, which no run recorded writing there; choose "
                               "another folder, or set base.replace_output = true to replace them");
    std::ifstream mine(out / "summary.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(mine), {}), "mine");

    config.set("base.replace_output", Value(true));
    Runner(config).run();
    auto record = [&] {
        std::ifstream in(out / "korvex_run.json");
        return nlohmann::json::parse(in);
    };
    EXPECT_EQ(record()["complete"], true);

    config.set("base.replace_output", Value(false));
    struct Failing : Strategy {
        void handle_bar(StrategyContext&) override { throw RuntimeError("failed on purpose"); }
    };
    Runner failing(config);
    failing.set_strategy(std::make_unique<Failing>());
    EXPECT_THROW(failing.run(), RuntimeError);
    EXPECT_FALSE(std::filesystem::exists(out / "summary.json"));
    EXPECT_FALSE(std::filesystem::exists(out / "daily.csv"));
    EXPECT_EQ(record()["complete"], false);
}

TEST_F(RunnerFixture, ARunRestoredFromSavedStateContinuesWhereItStopped) {
    config.set("base.end_date", Value("2020-01-06"));
    config.set("base.save_state_to", Value((dir.path() / "state.json").string()));
    Runner(config).run();
    config.set("base.end_date", Value("2020-01-10"));
    config.set("base.save_state_to", Value(""));
    config.set("base.resume_from", Value((dir.path() / "state.json").string()));
    LogCapture log;
    RunResult r = Runner(config).run();
    // The built-in strategy keeps no state of its own, and the resumed run says so.
    const auto lines = log.messages("system_log");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "the state " + (dir.path() / "state.json").string() +
                            " holds nothing of the strategy's own: the strategy starts afresh, "
                            "and may trade otherwise than the uninterrupted run would"),
              lines.end());
    ASSERT_EQ(r.daily.size(), 4u);  // 7th to 10th
    EXPECT_EQ(r.daily.front().date, make_date(2020, 1, 7));
    EXPECT_DOUBLE_EQ(r.daily.back().equity, 1500.0);
    std::ifstream summary_file(dir.path() / "out" / "summary.json");
    auto summary = nlohmann::json::parse(summary_file);
    EXPECT_EQ(summary["resumed_from"], "2020-01-06");
    EXPECT_EQ(summary["starting_cash"], 1500.0);  // the saved close's equity

    // A gap would skip days and their cash flows; nothing left to run is no run. The state
    // file stays as it was either way.
    const std::string state = dir.path() / "state.json";
    auto saved = [&] {
        std::ifstream in(state);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = saved();
    config.set("base.save_state_to", Value(state));
    config.set("base.start_date", Value("2020-01-09"));
    EXPECT_EQ(run_error(), "the state " + state +
                               " was saved on 2020-01-06: the run must resume on 2020-01-07, the "
                               "next trading day, not on 2020-01-09 (base.start_date 2020-01-09)");
    config.set("base.start_date", Value("2020-01-02"));
    config.set("base.end_date", Value("2020-01-06"));
    EXPECT_EQ(run_error(), "nothing to resume: the state " + state +
                               " was saved on 2020-01-06, and no trading day follows it up to "
                               "base.end_date 2020-01-06 (the data covers 2020-01-01 to "
                               "2020-01-31)");
    EXPECT_EQ(saved(), before);
}

namespace {
// Buys 100 of A.XSHE every day at the next day's open and, once it holds some, offers 100 at a
// limit never reached: each save leaves a buy and a sell open, with cash and units reserved.
class BuyEveryDay : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        submit_order(ctx.env(), "A.XSHE", 100, SIDE::BUY, POSITION_EFFECT::OPEN);
        if (ctx.portfolio().account(DEFAULT_ACCOUNT_TYPE::STOCK).positions().size() > 0)
            submit_order(ctx.env(), "A.XSHE", 100, SIDE::SELL, POSITION_EFFECT::CLOSE, 99.0);
    }
};
}  // namespace

// Orders open at the save are saved with what they reserve and fill on the resumed run's first
// day, as they do in the uninterrupted run.
TEST_F(RunnerFixture, OrdersOpenAtTheSaveFillOnTheResumedRunsFirstDay) {
    config.set("mod.sys_simulation.matching_type", Value("next_bar"));
    config.set("base.output_dir", Value(""));
    config.set("log.level", Value("error"));
    auto run = [&](const std::string& end, const std::string& save, const std::string& resume) {
        config.set("base.end_date", Value(end));
        config.set("base.save_state_to", Value(save));
        config.set("base.resume_from", Value(resume));
        Runner runner(config);
        runner.set_strategy(std::make_unique<BuyEveryDay>());
        runner.on_environment([&](Environment& env) {
            auto source =
                std::make_shared<BaseDataSource>(dir.path(), std::map<std::string, Value>{});
            source->register_instruments_store(
                std::make_shared<korvex::testing::FakeInstrumentStore>(
                    INSTRUMENT_TYPE::CS,
                    std::vector<InstrumentPtr>{korvex::testing::make_instrument("A.XSHE")}));
            std::vector<korvex::testing::SimpleBar> bars;
            for (int d : {2, 3, 6, 7, 8, 9, 10})
                bars.push_back({20200100000000 + d * 1000000, 1.0 + d / 10.0, 1.05 + d / 10.0,
                                1.1 + d / 10.0, 0.9 + d / 10.0, 1e6});
            auto store = std::make_shared<korvex::testing::FakeDayBarStore>();
            store->set("A.XSHE", bars);
            source->register_day_bar_store(INSTRUMENT_TYPE::CS, store);
            env.set_data_source(source);
        });
        return runner.run();
    };
    const RunResult whole = run("2020-01-10", "", "");
    const std::string state = (dir.path() / "state.json").string();
    run("2020-01-06", state, "");
    const RunResult resumed = run("2020-01-10", "", state);
    ASSERT_EQ(resumed.daily.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(resumed.daily[i].cash, whole.daily[3 + i].cash) << i;
        EXPECT_EQ(resumed.daily[i].equity, whole.daily[3 + i].equity) << i;
    }
    // The fills on the first resumed day are the saved orders', under their own ids.
    auto first_day = [](const RunResult& r) {
        std::vector<std::pair<std::int64_t, double>> fills;
        for (const auto& t : r.trades)
            if (to_date(t->trading_datetime()) == make_date(2020, 1, 7))
                fills.emplace_back(t->order_id().value_or(0), t->last_quantity());
        return fills;
    };
    EXPECT_EQ(first_day(resumed), first_day(whole));
    EXPECT_EQ(first_day(whole).size(), 1u);
}

namespace {
// Warns about orders as a strategy's refusals would.
class Grumbler : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        user_system_log().warning(fmt::format("Order rejected: 019547.SH has no market data at {}",
                                              format_datetime(ctx.now())));
        if (++days_ == 1) user_system_log().warning("下单失败，数量 1050 不合法");
    }
    int days_ = 0;
};
}  // namespace

// The user log's warnings are counted by reason in the summary; every line is in run.log.
TEST_F(RunnerFixture, CountsOrderWarningsByReasonAndLogsEveryLine) {
    EXPECT_EQ(reason_of("order 12 of R001.IB expired unfilled at the close, 3.5% left (x)"),
              "order {n} of {id} expired unfilled at the close, {n} left (x)");
    Runner runner(config);
    runner.set_strategy(std::make_unique<Grumbler>());
    RunResult r = runner.run();
    using Counts = std::vector<std::pair<std::string, std::size_t>>;
    EXPECT_EQ(r.order_warnings,
              (Counts{{"Order rejected: {id} has no market data at {date} {time}", 7},
                      {"下单失败，数量 {n} 不合法", 1}}));
    std::ifstream summary_file(dir.path() / "out" / "summary.json");
    EXPECT_EQ(nlohmann::json::parse(summary_file)["order_warnings"][1],
              (nlohmann::json{{"reason", "下单失败，数量 {n} 不合法"}, {"count", 1}}));
    std::ifstream log(dir.path() / "out" / "run.log");
    int warnings = 0;
    for (std::string line; std::getline(log, line);)
        warnings += line.find(" warning user_system_log: ") != std::string::npos;
    EXPECT_EQ(warnings, 8);
}

// Nested tables of base.future_info reach the data source by dotted key.
TEST_F(RunnerFixture, NestedFutureInfoReachesTheDataSource) {
    config.set("base.future_info.IF.margin_rate", Value(0.12));
    config.set("base.future_info.tick_size", Value(0.2));
    struct Seen : RunObserver {
        std::map<std::string, Value> info;
        void on_start(Environment& env, const std::vector<Date>&) override {
            info = env.data_source()->future_info();
        }
    } seen;
    Runner runner(config);
    runner.add_observer(&seen);
    runner.run();
    EXPECT_EQ(seen.info.size(), 2u);
    EXPECT_EQ(seen.info.at("IF.margin_rate").as_double(), 0.12);
    EXPECT_EQ(seen.info.at("tick_size").as_double(), 0.2);
}

// A saved state that does not hold an account is refused naming what is wrong, and the account
// is left as it was.
// A full disk (a file size limit here) fails the write, says why, and keeps the earlier state.
TEST(SavedState, AFailedWriteSaysWhyAndKeepsTheEarlierFile) {
    TempDir dir;
    const auto path = dir.path() / "state.json";
    write_file_atomically(path, "{\"good\": true}\n", "saved state");
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 8;
    setrlimit(RLIMIT_FSIZE, &small);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    const std::string error = korvex::testing::error_of<RuntimeError>(
        [&] { write_file_atomically(path, std::string(1000, 'x'), "saved state"); });
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(error, "cannot write saved state " + path.string() + ": File too large");
    // A writer that fails half way through leaves the same.
    EXPECT_THROW(write_file_atomically(
                     path,
                     [](std::ostream& out) {
                         out << "half";
                         throw ValueError("stop");
                     },
                     "saved state"),
                 ValueError);
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"good\": true}\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(RunnerFixture, ARunThatCannotSaveItsStateFails) {
    config.set("base.save_state_to", Value((dir.path() / "missing" / "state.json").string()));
    EXPECT_EQ(run_error(), "cannot write saved state " +
                               (dir.path() / "missing" / "state.json").string() +
                               ": No such file or directory");
}

TEST(AccountState, ABadStateIsRefusedNamingItAndChangesNothing) {
    Account account(DEFAULT_ACCOUNT_TYPE::STOCK, 1000.0, nullptr);
    account.set_state(State::parse(
        R"({"cash": 900, "positions": [{"order_book_id": "A", "direction": "LONG", "old_quantity": 5}]})"));
    const State before = account.get_state();
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"positions": []})", "saved state of account STOCK: 'cash' must be a number"},
        {R"({"cash": "x", "positions": []})",
         "saved state of account STOCK: 'cash' must be a number"},
        {R"({"cash": 1, "positions": {}})",
         "saved state of account STOCK: 'positions' must be a list"},
        {R"({"cash": 1, "positions": [{"order_book_id": "B", "direction": "UP"}]})",
         "saved state of account STOCK: positions[0].direction must be LONG or SHORT"},
        {R"({"cash": 1, "positions": [{"order_book_id": "B", "direction": "LONG"},
                                      {"order_book_id": "B", "direction": "LONG"}]})",
         "saved state of account STOCK: positions[1]: B LONG is listed twice"},
        {R"({"cash": 1, "positions": [{"order_book_id": "B", "direction": "LONG", "avg_price": []}]})",
         "saved state of position B: 'avg_price' must be a number, got []"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(
            korvex::testing::error_of<ValueError>([&] { account.set_state(State::parse(text)); }),
            message);
        EXPECT_EQ(account.get_state(), before) << text;
    }
}
