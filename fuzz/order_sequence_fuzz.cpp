// Whole backtests over a small generated bundle, driven by arbitrary bytes: each day the strategy
// places valid and invalid orders (bond buys and sells, limits, exchange and inter-bank repos both
// ways, cancels, unknown instruments, quantities that are not numbers) read from the input. After
// every day the journal of each account balances, cash is below zero only in an overdraft left by
// settlement (trading never takes it there or deeper, and it pays interest the next morning), no
// bond pledges more units than are held,
// and no financing borrows more than the face still outstanding of what it pledges. The run is
// then split at a day the input names and resumed: every day after is the whole run's, to the
// cent. Any other exception out of a run, or any broken rule, aborts with what broke.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "generator.hpp"
#include "korvex/api.hpp"
#include "korvex/errors.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "korvex_mod_bond/position.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "tavlen/bond.hpp"
#include "tavlen/sqlite_backend.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

std::filesystem::path g_bundle;

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "order sequence: %s\n", what.c_str());
    std::abort();
}

// The day's bytes: read from a place the date decides, so that a resumed run reads what the
// whole run read that day and the strategy keeps no state of its own.
class DayBytes {
public:
    DayBytes(std::span<const std::uint8_t> input, Date day)
        : input_(input), at_(static_cast<std::size_t>(convert_date_to_int(day) % 7919)) {}
    std::uint8_t next() { return input_.empty() ? 0 : input_[at_++ % input_.size()]; }
    double fraction() { return next() / 255.0; }

private:
    std::span<const std::uint8_t> input_;
    std::size_t at_;
};

class Rules;

class Scripted : public Strategy {
public:
    Scripted(std::span<const std::uint8_t> input, Rules& rules) : input_(input), rules_(rules) {}
    void after_trading(StrategyContext& ctx) override;

    void handle_bar(StrategyContext& ctx) override {
        DayBytes bytes(input_, to_date(ctx.now()));
        const int actions = bytes.next() % 6;
        for (int k = 0; k < actions; ++k) {
            try {
                act(ctx, bytes);
            } catch (const korvex::Error&) {
                // a refusal, as a strategy sees it
            }
        }
    }

private:
    std::vector<std::string> bonds(StrategyContext& ctx) {
        std::vector<std::string> ids;
        for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND))
            if (ins->listed_at(ctx.now())) ids.push_back(ins->order_book_id());
        return ids;
    }

    std::vector<BondPosition*> held(StrategyContext& ctx) {
        std::vector<BondPosition*> out;
        for (auto& [type, acc] : ctx.portfolio().accounts())
            for (auto& p : acc->positions())
                if (auto* b = dynamic_cast<BondPosition*>(p.get()); b && b->quantity() > 0)
                    out.push_back(b);
        return out;
    }

    // Mostly sensible amounts, sometimes zero, negative, odd lots or not a number.
    static double amount(DayBytes& bytes, double unit) {
        const std::uint8_t kind = bytes.next();
        if (kind == 0) return std::numeric_limits<double>::quiet_NaN();
        if (kind == 1) return -unit;
        if (kind == 2) return std::numeric_limits<double>::infinity();
        if (kind < 16) return unit * kind + 3;  // not whole units
        return unit * (1 + bytes.next() % 64);
    }

    void act(StrategyContext& ctx, DayBytes& bytes) {
        const std::uint8_t what = bytes.next() % 11;
        const double haircut = bytes.next() % 16 == 0 ? 1.5 : 0.5 + bytes.fraction() / 2;
        const int term = std::array<int, 4>{1, 7, 14, 5}[bytes.next() % 4];
        switch (what) {
            case 0:
            case 1: {
                auto ids = bonds(ctx);
                if (ids.empty()) return;
                const std::string& id = ids[bytes.next() % ids.size()];
                const double unit = is_exchange_bond(id) ? 10 : 1000;
                std::optional<double> limit;
                if (what == 1) limit = 80 + 40 * bytes.fraction();
                api::order_bond(ctx, id, amount(bytes, unit), limit);
                return;
            }
            case 2: {
                auto h = held(ctx);
                if (h.empty()) return;
                BondPosition* b = h[bytes.next() % h.size()];
                api::order_bond(ctx, b->order_book_id(), -b->quantity() * bytes.fraction());
                return;
            }
            case 3: {
                auto h = held(ctx);
                if (h.empty()) return;
                BondPosition* b = h[bytes.next() % h.size()];
                api::exchange_repo_financing(ctx, bytes.next() % 4 ? "204001.SH" : "131810.SZ",
                                             b->quantity() * 100 * bytes.fraction() * 1.2,
                                             b->order_book_id(), haircut);
                return;
            }
            case 4:
                api::exchange_reverse_repo(ctx, bytes.next() % 4 ? "204001.SH" : "131810.SZ",
                                           amount(bytes, 1e5));
                return;
            case 5: {
                auto h = held(ctx);
                if (h.empty()) return;
                BondPosition* b = h[bytes.next() % h.size()];
                api::ib_repo(ctx, term, b->quantity() * 100 * bytes.fraction() * 1.2,
                             b->order_book_id(), haircut);
                return;
            }
            case 6:
                api::ib_reverse_repo(ctx, term, amount(bytes, 1e5));
                return;
            case 7: {
                auto open = ctx.env().broker()->get_open_orders();
                if (!open.empty())
                    ctx.env().broker()->cancel_order(open[bytes.next() % open.size()]);
                return;
            }
            case 8:
                submit_order(ctx.env(), "999999.SH", amount(bytes, 10), SIDE::BUY,
                             POSITION_EFFECT::OPEN);
                return;
            case 9: {
                auto ids = bonds(ctx);
                if (ids.empty()) return;
                // Straight to the host, past the bond order functions: any side and effect.
                submit_order(ctx.env(), ids[bytes.next() % ids.size()], amount(bytes, 10),
                             bytes.next() % 2 ? SIDE::BUY : SIDE::SELL,
                             bytes.next() % 2 ? POSITION_EFFECT::OPEN : POSITION_EFFECT::CLOSE);
                return;
            }
            default:
                api::order_bond_value(ctx, bonds(ctx).empty() ? "" : bonds(ctx).front(),
                                      amount(bytes, 1e4));
                return;
        }
    }

    std::span<const std::uint8_t> input_;
    Rules& rules_;
};

// What an account did today and what it has open, for the report of a broken rule.
std::string day_of(Environment& env, const Account& acc, Date today) {
    std::string out;
    const auto& entries = acc.journal().entries();
    for (std::size_t i = entries.size() > 8 ? entries.size() - 8 : 0; i < entries.size(); ++i)
        if (const CashEntry& e = entries[i]; to_date(e.datetime) >= today - std::chrono::days(3))
            out += fmt::format("\n  {} {} {} order {} {:.2f}", format_datetime(e.datetime),
                               name(e.cause), e.order_book_id, e.order_id, e.amount);
    for (const OrderPtr& o : env.broker()->get_open_orders())
        out += fmt::format("\n  open {} {} {} {} of {} at {}", o->order_id(),
                           format_datetime(o->datetime()), name(o->side()), o->quantity(),
                           o->order_book_id(), o->frozen_price());
    return out;
}

// The rules, checked before each day's settlement and at its end; the first broken one aborts.
class Rules : public RunObserver {
public:
    // Trading never takes cash below zero, nor an overdraft deeper: only settlement may overdraw.
    // The cash of the loans coming back tonight may be spent today.
    void before_settlement(Environment& env) {
        const Date today = to_date(env.calendar_dt);
        for (auto& [type, acc] : env.portfolio().accounts()) {
            auto last = day_end_.find(type);
            const double cash = acc->balance() + acc->settling_in();
            if (last == day_end_.end() || cash >= -1e-6) continue;
            double interest = 0;
            for (const CashEntry& e : acc->journal().entries())
                if (e.cause == CASH_CAUSE::OVERDRAFT_INTEREST && to_date(e.datetime) == today)
                    interest += e.amount;
            if (cash < std::min(0.0, last->second + interest) - 1e-6)
                broken(
                    fmt::format("{} on {}: trading took cash to {:.2f} ({:.2f} coming back "
                                "tonight) from {:.2f} last night{}",
                                name(type), format_date(today), acc->balance(), acc->settling_in(),
                                last->second, day_of(env, *acc, today)));
        }
    }

    void on_day_end(Environment& env, const DailyRecord& day) override {
        const Date today = day.date;
        for (auto& [type, acc] : env.portfolio().accounts()) {
            const std::string where = fmt::format("{} on {}", name(type), format_date(today));
            double journal = acc->journal().opening();
            bool charged = false;
            for (const CashEntry& e : acc->journal().entries()) {
                journal += e.amount;
                charged |=
                    e.cause == CASH_CAUSE::OVERDRAFT_INTEREST && to_date(e.datetime) == today;
            }
            if (journal != acc->balance())
                broken(
                    fmt::format("{}: journal {} but balance {}", where, journal, acc->balance()));
            // An overdraft pays interest from the next morning.
            if (auto last = day_end_.find(type);
                last != day_end_.end() && last->second < -1e-6 && !charged)
                broken(fmt::format("{}: overdrawn the night before, no interest charged", where));
            day_end_[type] = acc->balance();
            for (auto& p : acc->positions()) {
                auto* b = dynamic_cast<BondPosition*>(p.get());
                if (b && b->pledged_quantity() > b->quantity() + 1e-9)
                    broken(fmt::format("{}: {} pledges {} of {} held", where, b->order_book_id(),
                                       b->pledged_quantity(), b->quantity()));
            }
        }
        // Financings of the day: what they borrow is backed by face still outstanding.
        for (; seen_ < env.trades().size(); ++seen_) {
            const auto* repo = dynamic_cast<const RepoTrade*>(env.trades()[seen_].get());
            if (!repo || repo->side() != SIDE::FINANCING) continue;
            const std::string bond = repo->attr("bond_id").as_string();
            auto& account = env.portfolio().account_for(bond);
            auto* b =
                dynamic_cast<BondPosition*>(account.find_position(bond, POSITION_DIRECTION::LONG));
            if (!b)
                broken(fmt::format("financing {} pledges {}, not held", repo->trade_id(), bond));
            const double face = repo->attr("pledged_quantity").as_double() *
                                b->remaining_principal(to_date(repo->trading_datetime()));
            if (repo->last_quantity() > face + 0.01)
                broken(fmt::format("financing {} on {} borrows {} against {} of outstanding face",
                                   repo->trade_id(), format_date(today), repo->last_quantity(),
                                   face));
        }
    }

private:
    std::map<DEFAULT_ACCOUNT_TYPE, double> day_end_;  // balances at the last close seen
    std::size_t seen_ = 0;
};

void Scripted::after_trading(StrategyContext& ctx) {
    rules_.before_settlement(ctx.env());
}

RunResult run(std::span<const std::uint8_t> input, const std::string& matching, Date end,
              const std::string& save, const std::string& resume) {
    Config config = Config::from_string(fmt::format(
        "[base]\nstart_date = \"2019-01-02\"\nend_date = \"{}\"\ndata_bundle_path = \"{}\"\n"
        "output_dir = \"\"\nsave_state_to = \"{}\"\nresume_from = \"{}\"\n"
        "[base.accounts]\nSTOCK = 2000000\nBOND = 20000000\n[log]\nlevel = \"error\"\n"
        "[mod.sys_simulation]\nmatching_type = \"{}\"\n",
        format_date(end), g_bundle.string(), save, resume, matching));
    Runner runner(std::move(config));
    runner.add_mod("bond", std::make_unique<BondMod>());
    Rules rules;
    runner.set_strategy(std::make_unique<Scripted>(input, rules));
    runner.add_observer(&rules);
    try {
        return runner.run();
    } catch (const std::exception& e) {
        broken(fmt::format("the run to {} failed: {}", format_date(end), e.what()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_bundle =
        std::filesystem::temp_directory_path() / fmt::format("korvex-order-fuzz-{}", ::getpid());
    korvex_generate::GeneratorOptions options;
    options.out = g_bundle;
    options.seed = 5;
    options.start = make_date(2019, 1, 2);
    options.end = make_date(2019, 6, 28);
    options.bonds = 12;
    options.minute_bonds = 0;
    options.force = true;
    korvex_generate::generate_bundle(options);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_bundle, ignored);
    });
    tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(g_bundle / "tavlen.sqlite"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string matching = data[0] % 2 ? "next_bar" : "current_bar";
    const std::span<const std::uint8_t> input(data + 2, size - 2);
    const Date end = make_date(2019, 4, 30);
    const RunResult whole = run(input, matching, end, "", "");
    if (whole.daily.size() < 3) return 0;
    const std::size_t split = 1 + data[1] % (whole.daily.size() - 2);
    const std::string state = (g_bundle / "state.json").string();
    run(input, matching, whole.daily[split].date, state, "");
    const RunResult resumed = run(input, matching, end, "", state);
    if (resumed.daily.size() != whole.daily.size() - split - 1)
        broken(fmt::format("resumed after {}: {} days, the whole run has {} after it",
                           format_date(whole.daily[split].date), resumed.daily.size(),
                           whole.daily.size() - split - 1));
    for (std::size_t i = 0; i < resumed.daily.size(); ++i) {
        const DailyRecord& a = whole.daily[split + 1 + i];
        const DailyRecord& b = resumed.daily[i];
        if (std::abs(a.equity - b.equity) > 0.005 || std::abs(a.cash - b.cash) > 0.005)
            broken(
                fmt::format("resumed after {}: on {} equity {:.2f} cash {:.2f}, the whole run "
                            "{:.2f} and {:.2f}",
                            format_date(whole.daily[split].date), format_date(a.date), b.equity,
                            b.cash, a.equity, a.cash));
    }
    return 0;
}
