// Bond positions over trading days, against the floor of a bare loop doing the same two binary
// searches and additions over the same schedule arrays; and position-days per second for a book
// of 10,000 inter-bank bonds with 40-row schedules.
//
// Run: build-dir/bin/position_bench
// BM_PositionDayVsBareLoop: counter "ratio" = (before_trading + settlement of one position) /
// (the bare loop's two binary searches and additions), both on the same days in the same run,
// each the best of 25 interleaved blocks; "host_position_ns" is the host's own position
// bookkeeping alone on those days, for scale.
// BM_BookOfPositions: counter "position_days_per_s", plus the peak resident memory in MiB, and
// "books_check_share": what the daily check of the account's cash journal adds to a day of the
// book, from blocks of days with and without it alternating, best of each.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/resource.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "korvex/environment.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_test_support.hpp"
#include "tavlen/memory_backend.hpp"

namespace {

using korvex::Date;
using korvex_mod_bond::ImpliedCashFlowRecord;

constexpr int BOOK = 10000;
constexpr int ROWS = 40;  // 20 coupons: a record-day row and a payment-day row each

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

class Calendar : public korvex::AbstractCalendarStore {
public:
    explicit Calendar(std::vector<Date> days) : days_(std::move(days)) {}
    std::vector<korvex::DateTime> get_trading_calendar() override {
        return {days_.begin(), days_.end()};
    }

private:
    std::vector<Date> days_;
};

std::string bond_id(int i) {
    return fmt::format("{:06}.IB", 100000 + i);
}

// Semi-annual coupons from mid-2020, staggered by bond, accrued one day before payment; no
// principal in the benchmarked years.
std::shared_ptr<tavlen::Table> schedule(const std::string& id, int i) {
    auto t = std::make_shared<tavlen::Table>(
        std::vector<std::string>{"total_payment", "payment_receivable", "principal_payment"});
    const Date first = korvex::make_date(2020, 1, 15) + std::chrono::days(i % 120);
    for (int k = 0; k < ROWS / 2; ++k) {
        const Date pay = first + std::chrono::days(182 * k);
        const bool last = k == ROWS / 2 - 1;
        t->append(id, pay - std::chrono::days(1), {0.0, 1.75, 0.0});
        t->append(id, pay, {last ? 101.75 : 1.75, 0.0, last ? 100.0 : 0.0});
    }
    return t;
}

// One run's environment with BOOK bonds, each with its implied schedule in the client.
struct World {
    std::shared_ptr<tavlen::MemoryBackend> client = std::make_shared<tavlen::MemoryBackend>();
    std::unique_ptr<korvex::Environment> env;
    std::vector<Date> days =
        korvex::testing::weekdays(korvex::make_date(2020, 1, 2), korvex::make_date(2021, 12, 31));

    World() {
        tavlen::set_backend(client);
        korvex::Config config;
        config.set("mod.bond.valuation_source", korvex::Value("auto"));
        env = std::make_unique<korvex::Environment>(std::move(config));
        std::vector<korvex::InstrumentPtr> bonds;
        for (int i = 0; i < BOOK; ++i) {
            const std::string id = bond_id(i);
            bonds.push_back(std::make_shared<korvex_mod_bond::BondInstrument>(
                korvex::Record{{"order_book_id", id},
                               {"exchange", "NIB"},
                               {"initial_issue_size", 1e9},
                               {"listed_date", korvex::make_datetime(2019, 1, 1)},
                               {"de_listed_date", korvex::make_datetime(2040, 1, 1)}}));
            client->set_implied_cash_flow(id, schedule(id, i));
        }
        auto source =
            std::make_shared<korvex::BaseDataSource>("", std::map<std::string, korvex::Value>{});
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            korvex::INSTRUMENT_TYPE::BOND, std::move(bonds)));
        source->register_calendar_store(korvex::TRADING_CALENDAR_TYPE::EXCHANGE,
                                        std::make_shared<Calendar>(days));
        env->set_data_source(source);
        env->portfolio().add_account(korvex::DEFAULT_ACCOUNT_TYPE::BOND, 1e12);
        korvex_mod_bond::position::load(*env);
    }
    ~World() {
        env.reset();
        tavlen::set_backend(nullptr);
    }
};

World& world() {
    static World w;
    return w;
}

// The floor: per day, the morning lookup adds the receivable and the settlement lookup pays.
double bare_loop(const std::vector<ImpliedCashFlowRecord>& rows,
                 const std::vector<std::int32_t>& day_ints, double quantity, double& receivable) {
    double cash = 0;
    auto find = [&](std::int32_t d) -> const ImpliedCashFlowRecord* {
        auto it = std::partition_point(rows.begin(), rows.end(),
                                       [d](const ImpliedCashFlowRecord& r) { return r.date < d; });
        return it != rows.end() && it->date == d ? &*it : nullptr;
    };
    for (std::int32_t d : day_ints) {
        if (const auto* r = find(d)) receivable += r->payment_receivable * quantity;
        benchmark::ClobberMemory();  // two searches, as two calls make them: no reuse of the first
        if (const auto* r = find(d)) {
            receivable -= r->cash_flow * quantity;
            cash += r->cash_flow * quantity;
        }
    }
    return cash;
}

void BM_PositionDayVsBareLoop(benchmark::State& state) {
    World& w = world();
    const std::string id = bond_id(7);
    auto schedules = std::make_shared<korvex_mod_bond::CashFlowSchedules>();
    auto position = korvex_mod_bond::BondPosition::create(id, korvex::POSITION_DIRECTION::LONG,
                                                          1000, schedules);
    position->before_trading(w.days.front());  // schedule cached from here on
    const korvex_mod_bond::ImpliedCashFlowSchedule rows_ptr = schedules->_all_implied_cash_flow(id);
    const auto& rows = *rows_ptr;  // the very array the position reads
    std::vector<std::int32_t> day_ints;
    for (Date d : w.days) day_ints.push_back(korvex::convert_date_to_date_int(d));

    korvex::Position host("X", korvex::POSITION_DIRECTION::LONG, 1000);
    korvex::Position* positions[] = {position.get(), &host};
    benchmark::DoNotOptimize(positions);

    // ns per day of: 0 the bare loop, 1 the bond position, 2 the host's own position alone (for
    // scale). The three alternate in short blocks and each keeps its best block, so that load
    // from other processes on a shared machine does not fall on one side only.
    double receivable = 0, sink = 0;
    double best[3] = {1e9, 1e9, 1e9};
    constexpr int ROUNDS = 200, BLOCKS = 25;
    for (int block = 0; block < BLOCKS; ++block) {
        for (int kind = 0; kind < 3; ++kind) {
            const double t0 = thread_seconds();
            for (int k = 0; k < ROUNDS; ++k) {
                if (kind == 0) {
                    sink += bare_loop(rows, day_ints, 1000, receivable);
                } else {
                    korvex::Position* p = positions[kind - 1];
                    for (Date d : w.days) sink += p->before_trading(d) + p->settlement(d);
                }
                benchmark::DoNotOptimize(sink);
                benchmark::ClobberMemory();
            }
            const double ns = (thread_seconds() - t0) * 1e9 / (ROUNDS * double(w.days.size()));
            best[kind] = std::min(best[kind], ns);
        }
    }

    std::size_t i = 0;
    for (auto _ : state) {
        const Date day = w.days[i];
        double cash = position->before_trading(day);
        cash += position->settlement(day);
        benchmark::DoNotOptimize(cash);
        if (++i == w.days.size()) i = 0;
    }
    state.counters["bare_loop_ns"] = best[0];
    state.counters["position_ns"] = best[1];
    state.counters["host_position_ns"] = best[2];
    state.counters["ratio"] = best[1] / best[0];
}
BENCHMARK(BM_PositionDayVsBareLoop);

void BM_BookOfPositions(benchmark::State& state) {
    World& w = world();
    korvex::Account& account = w.env->portfolio().account(korvex::DEFAULT_ACCOUNT_TYPE::BOND);
    if (account.positions().empty())
        for (int i = 0; i < BOOK; ++i)
            account.get_position(bond_id(i), korvex::POSITION_DIRECTION::LONG)
                .set_state({{"old_quantity", 1000.0}});
    account.before_trading(w.days.front());  // every schedule fetched once
    account.settlement(w.days.front());
    std::size_t i = 1, days = 0;
    const double t0 = thread_seconds();
    for (auto _ : state) {
        const Date day = w.days[i];
        account.before_trading(day);
        account.settlement(day);
        if (++i == w.days.size()) i = 1;
        ++days;
    }
    const double seconds = thread_seconds() - t0;
    state.counters["position_days_per_s"] = double(days) * BOOK / seconds;
    double best[2] = {1e9, 1e9};
    for (int block = 0; block < 10; ++block)
        for (int check = 0; check < 2; ++check) {
            const double b0 = thread_seconds();
            for (std::size_t d = 1; d < w.days.size(); ++d) {
                account.before_trading(w.days[d]);
                account.settlement(w.days[d]);
                if (check) account.check_books(w.days[d]);
            }
            best[check] = std::min(best[check], thread_seconds() - b0);
        }
    state.counters["books_check_share"] = best[1] / best[0] - 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["positions"] = static_cast<double>(account.positions().size());
}
BENCHMARK(BM_BookOfPositions)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
