// No look-ahead: strategies that read bars, minute bars, snapshots and histories of bonds and
// repos at random moments of daily, minute and tick runs never get anything stamped after the
// run's time, and get everything stamped before it.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <random>

#include "bond_run.hpp"

using namespace korvex;

namespace {

const std::filesystem::path& bundle() {
    return korvex::testing::bond_tick_bundle();
}

class Peeker : public Strategy {
public:
    explicit Peeker(std::uint32_t seed) : random_(seed) {}

    void init(StrategyContext& ctx) override {
        // The ids are chosen with the whole arrays, which only the test may read.
        for (auto& ins : ctx.data_proxy().all_instruments())
            if (ins->type() == INSTRUMENT_TYPE::REPO ||
                !ctx.data_proxy().minute_bars_full(ins->order_book_id()).empty())
                ids_.push_back(ins->order_book_id());
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
            if (ids_.size() < 30) ids_.push_back(ins->order_book_id());
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
            if (!ctx.data_proxy()
                     .ticks_full(ins->order_book_id(), make_date(2019, 6, 28))
                     .empty()) {
                ids_.push_back(ins->order_book_id());
                ctx.subscribe(ins->order_book_id());
            }
        peek(ctx);
    }
    void before_trading(StrategyContext& ctx) override { peek(ctx); }
    void handle_bar(StrategyContext& ctx) override { peek(ctx); }
    void handle_tick(StrategyContext& ctx, const TickObject&) override {
        if (random_() % 8 == 0) peek(ctx);
    }
    void after_trading(StrategyContext& ctx) override { peek(ctx); }

    int reads = 0, non_empty = 0, today_seen = 0;

private:
    // The known part must end exactly where the clock stands: nothing after, nothing missing.
    void expect_cut(const Bars& known, const Bars& full, std::int64_t last, const char* what,
                    const std::string& id, DateTime now) {
        ++reads;
        const std::string where = std::string(what) + " of " + id + " at " + format_datetime(now);
        if (!known.empty()) {
            ++non_empty;
            EXPECT_LE(known.datetime(known.size() - 1), last) << where;
        }
        ASSERT_LE(known.size(), full.size()) << where;
        if (known.size() < full.size()) {
            EXPECT_GT(full.datetime(known.size()), last) << where;
        }
    }

    void peek(StrategyContext& ctx) {
        const DateTime now = ctx.now();
        const Date today = to_date(now);
        const bool closed = now >= DateTime(today) + std::chrono::hours(15);
        const std::int64_t last_day =
            closed ? convert_date_to_int(today) : convert_date_to_int(today) - 1;
        const std::int64_t last_intraday = convert_date_to_int(now);
        DataProxy& data = ctx.data_proxy();
        for (int k = 0; k < 6; ++k) {
            const std::string& id = ids_[random_() % ids_.size()];
            const std::size_t n = 1 + random_() % 300;
            switch (random_() % 5) {
                case 0: {
                    Bars known = ctx.day_bars(id);
                    expect_cut(known, data.day_bars_full(id), last_day, "day_bars", id, now);
                    if (closed && !known.empty() &&
                        known.datetime(known.size() - 1) == convert_date_to_int(today))
                        ++today_seen;
                    break;
                }
                case 1:
                    expect_cut(ctx.minute_bars(id), data.minute_bars_full(id), last_intraday,
                               "minute_bars", id, now);
                    break;
                case 2: {
                    const Date day = today + std::chrono::days(int(random_() % 5) - 2);
                    Bars known = ctx.ticks(id, day);
                    if (day > today)
                        EXPECT_TRUE(known.empty()) << id << " on " << format_date(day);
                    else
                        expect_cut(known, data.ticks_full(id, day), last_intraday, "ticks", id,
                                   now);
                    break;
                }
                case 3: {
                    Bars h = ctx.history_bars(id, n, "1d");
                    Bars known = ctx.day_bars(id);
                    // The tail of what is known, the same records.
                    ASSERT_EQ(h.size(), std::min(n, known.size()));
                    if (!h.empty()) {
                        EXPECT_EQ(h.record(0), known.record(known.size() - h.size()));
                    }
                    break;
                }
                default: {
                    Bars h = ctx.history_bars(id, n, "1m");
                    Bars known = ctx.minute_bars(id);
                    ASSERT_EQ(h.size(), std::min(n, known.size()));
                    if (!h.empty()) {
                        EXPECT_EQ(h.record(0), known.record(known.size() - h.size()));
                    }
                }
            }
        }
    }

    std::mt19937 random_;
    std::vector<std::string> ids_;
};

}  // namespace

TEST(Clock, NoDataCallAnswersAnythingStampedAfterTheRunsTimeAtAnyFrequency) {
    struct Case {
        const char* frequency;
        const char* start;
        std::uint32_t seed;
    } cases[] = {{"1d", "2019-05-06", 1}, {"1m", "2019-06-24", 2}, {"tick", "2019-06-24", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frequency);
        Config config = Config::from_string(
            fmt::format("[base]\nstart_date = \"{}\"\nend_date = \"2019-06-28\"\nfrequency = "
                        "\"{}\"\ndata_bundle_path = \"{}\"\noutput_dir = \"\"\n[base.accounts]\n"
                        "STOCK = 1000000\n[mod.lumeq_data]\nenabled = true\n",
                        c.start, c.frequency, bundle().string()));
        Peeker peeker(c.seed);
        korvex::testing::run_bond(std::move(config), peeker);
        EXPECT_GT(peeker.reads, 200);
        EXPECT_GT(peeker.non_empty, peeker.reads / 4);
        EXPECT_GT(peeker.today_seen, 0);  // a day's bar is there from its close on
    }
}
