#include "korvex/runner.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <span>
#include <unordered_map>

#include "korvex/atomic_file.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex/run_log.hpp"
#include "korvex/simulation_broker.hpp"

namespace korvex {

namespace {

// Sections of [mod] that belong to the host itself rather than to loadable mods.
const std::set<std::string> kBuiltinMods = {"sys_simulation"};
const std::set<std::string> kBaseKeys = {"run_type",
                                         "start_date",
                                         "end_date",
                                         "frequency",
                                         "data_bundle_path",
                                         "strategy",
                                         "output_dir",
                                         "mod_path",
                                         "resume_from",
                                         "save_state_to",
                                         "accounts",
                                         "future_info",
                                         "strategy_libraries",
                                         "python_path",
                                         "replace_output",
                                         "risk_free_rate",
                                         "risk_free_instrument"};

// Every leaf of a table as a dotted path below it ("exchange_repo_commission_rate.1").
void leaf_paths(const ConfigNode& table, const std::string& prefix, std::vector<std::string>& out) {
    for (auto& key : table.keys()) {
        ConfigNode child = table[key];
        if (child.is_table())
            leaf_paths(child, prefix + key + ".", out);
        else
            out.push_back(prefix + key);
    }
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A mod's section may hold the keys of the section it ships, and "enabled": anything else is
// a mistyped or unknown setting, which would otherwise be ignored silently.
void check_mod_keys(const Config& config, const std::string& name, const ConfigNode& shipped) {
    std::vector<std::string> known{"enabled"}, given;
    leaf_paths(shipped, "", known);
    leaf_paths(config.at("mod." + name), "", given);
    for (const std::string& key : given) {
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        const auto nearest = std::min_element(
            known.begin(), known.end(), [&](const std::string& a, const std::string& b) {
                return edit_distance(key, a) < edit_distance(key, b);
            });
        std::string hint;
        if (edit_distance(key, *nearest) <= std::max<std::size_t>(2, key.size() / 3))
            hint = fmt::format(" (did you mean mod.{}.{}?)", name, *nearest);
        throw ValueError(fmt::format("unknown configuration entry mod.{}.{}{}", name, key, hint));
    }
}

struct RunSettings {
    Date start, end;
    std::string frequency;
    RUN_TYPE run_type;
    std::vector<std::pair<DEFAULT_ACCOUNT_TYPE, double>> accounts;
    Account::OverdraftTerms overdraft;
};

// Checks everything a run needs before anything starts; errors name the key.
RunSettings validate(const Config& config) {
    ConfigNode base = config["base"];
    for (auto& key : base.keys())
        if (!kBaseKeys.count(key))
            throw ValueError(fmt::format("unknown configuration entry base.{}", key));
    RunSettings s;
    s.run_type = parse_enum<RUN_TYPE>(base["run_type"].as_string());
    // Its loop replays history: another run type would pass a replay off as something else.
    if (s.run_type != RUN_TYPE::BACKTEST)
        throw ValueError(fmt::format("base.run_type {}: this host runs backtests only (BACKTEST)",
                                     name(s.run_type)));
    auto date_of = [&](const char* key) {
        try {
            return parse_date(base[key].as_string());
        } catch (const ValueError& e) {
            throw ValueError(fmt::format("base.{}: {}", key, e.what()));
        }
    };
    s.start = date_of("start_date");
    s.end = date_of("end_date");
    if (s.start > s.end)
        throw ValueError(fmt::format("base.start_date {} is after base.end_date {}",
                                     format_date(s.start), format_date(s.end)));
    if (const double rf = base["risk_free_rate"].as_double(); !std::isfinite(rf))
        throw ValueError(fmt::format("base.risk_free_rate must be a yearly rate, got {}", rf));
    s.frequency = base["frequency"].as_string();
    if (s.frequency != "1d" && s.frequency != "1m" && s.frequency != "tick")
        throw ValueError(
            fmt::format("base.frequency '{}' is not one of 1d, 1m, tick", s.frequency));
    ConfigNode accounts = base["accounts"];
    for (auto& key : accounts.keys()) {
        auto type = try_parse_enum<DEFAULT_ACCOUNT_TYPE>(key);
        if (!type)
            throw ValueError(
                fmt::format("unknown account type '{}' in base.accounts (known: STOCK, "
                            "FUTURE, BOND)",
                            key));
        double cash = accounts[key].as_double();
        if (!(cash >= 0))
            throw ValueError(
                fmt::format("base.accounts.{} must be a cash amount >= 0, got {}", key, cash));
        s.accounts.emplace_back(*type, cash);
    }
    ConfigNode sim = config["mod"]["sys_simulation"];
    check_mod_keys(config, "sys_simulation", Config()["mod"]["sys_simulation"]);
    if (const std::string m = sim["matching_type"].as_string();
        m != "current_bar" && m != "next_bar")
        throw ValueError(fmt::format(
            "mod.sys_simulation.matching_type '{}' is not one of current_bar, next_bar", m));
    if (const double slippage = sim["slippage"].as_double(); !(slippage >= 0 && slippage < 1))
        throw ValueError(fmt::format(
            "mod.sys_simulation.slippage must be a fraction in [0, 1), got {}", slippage));
    if (const double share = sim["volume_percent"].as_double(); !(share > 0 && share <= 1))
        throw ValueError(fmt::format(
            "mod.sys_simulation.volume_percent must be a fraction in (0, 1], got {}", share));
    s.overdraft.rate = sim["overdraft_rate"].as_double();
    if (!(s.overdraft.rate >= 0 && std::isfinite(s.overdraft.rate)))
        throw ValueError(
            fmt::format("mod.sys_simulation.overdraft_rate must be a yearly rate >= 0, got {}",
                        s.overdraft.rate));
    const std::string shortfall = sim["on_shortfall"].as_string();
    if (shortfall != "overdraft" && shortfall != "stop")
        throw ValueError(fmt::format(
            "mod.sys_simulation.on_shortfall '{}' is not one of overdraft, stop", shortfall));
    s.overdraft.stop = shortfall == "stop";
    return s;
}

struct PriceCursor {
    Bars bars;
    const FieldSpec* close = nullptr;
    std::size_t next = 0;
};

// Marks every position to the day's close. One hash lookup per position and a forward-moving
// cursor over each instrument's bars: no search from the start, no allocation once warm.
class PriceBook {
public:
    explicit PriceBook(Environment& env) : env_(env) {}
    void mark(Account& account, std::int64_t stamp) {
        for (auto& p : account.positions()) {
            PriceCursor& c = cursor(p->order_book_id());
            if (!c.close) continue;
            if (c.next > 0 && c.bars.datetime(c.next - 1) > stamp) c.next = 0;  // time went back
            while (c.next < c.bars.size() && c.bars.datetime(c.next) <= stamp) ++c.next;
            if (c.next > 0)
                p->update_last_price(c.bars.get(c.next - 1, *c.close),
                                     to_date(datetime_from_int(c.bars.datetime(c.next - 1))));
        }
    }

private:
    PriceCursor& cursor(const std::string& id) {
        auto it = cursors_.find(id);
        if (it != cursors_.end()) return it->second;
        PriceCursor c;
        c.bars = env_.data_proxy().day_bars_full(id);
        if (!c.bars.empty()) c.close = c.bars.layout()->find("close");
        return cursors_.emplace(id, std::move(c)).first->second;
    }
    Environment& env_;
    std::unordered_map<std::string, PriceCursor> cursors_;
};

DailyRecord record_day(Environment& env, Date day) {
    DailyRecord r;
    r.date = day;
    for (auto& [type, acc] : env.portfolio().accounts()) {
        r.accounts.push_back({type, acc->balance(), acc->market_value(), acc->total_value()});
        r.cash += acc->balance();
        r.market_value += acc->market_value();
        r.equity += acc->total_value();
    }
    r.metrics.reserve(env.daily_metrics().size());
    for (auto& [name, metric] : env.daily_metrics()) r.metrics.push_back(metric(env));
    return r;
}

// One instrument's snapshots of the day, consumed front to back.
struct TickCursor {
    TickObject* latest = nullptr;  // the instrument's slot in the environment
    Bars ticks;                    // keeps the records alive
    std::span<const TickRecord> records;
    std::size_t next = 0;
};

// The date-time of a snapshot stamped on `day`: from the day's midnight, without a calendar
// conversion per snapshot. A stamp outside the day, or not a time of day, goes through the full
// conversion (which names a malformed one).
DateTime tick_time(std::int64_t stamp, std::int64_t day_stamp, DateTime midnight) {
    const std::int64_t hhmmss = stamp - day_stamp;
    if (hhmmss < 0 || hhmmss >= 240000 || hhmmss / 100 % 100 >= 60 || hhmmss % 100 >= 60)
        return datetime_from_int(stamp);
    return midnight +
           std::chrono::seconds(hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100);
}

// Feeds the day's snapshots of the subscribed instruments in time order (ties: subscription
// order): the broker matches open orders against each, then the strategy sees it. The
// cursor vector is kept between days, so a day allocates nothing once warm. Returns how many
// snapshots the day had.
std::size_t run_tick_day(Environment& env, Strategy& strategy, StrategyContext& ctx,
                         AbstractBroker& broker, Date day, std::vector<TickCursor>& cursors) {
    env.clear_latest_ticks();
    cursors.resize(ctx.subscribed().size());
    std::size_t used = 0;
    for (const std::string& id : ctx.subscribed()) {
        Bars ticks = env.data_proxy().ticks_full(id, day);
        if (ticks.empty()) continue;
        if (!(*ticks.layout() == tick_layout()))
            throw RuntimeError(fmt::format("the tick store answered {} on {} in layout {}, not {}",
                                           id, format_date(day), ticks.layout()->to_string(),
                                           tick_layout().to_string()));
        TickCursor& c = cursors[used++];
        c.latest = &env.latest_tick_slot(id);
        c.records = ticks.as<TickRecord>();
        c.ticks = std::move(ticks);
        c.next = 0;
    }
    const std::int64_t day_stamp = convert_date_to_int(day);
    const DateTime midnight(day);
    std::size_t fed = 0;
    for (;;) {
        TickCursor* first = nullptr;
        for (std::size_t i = 0; i < used; ++i) {
            TickCursor& c = cursors[i];
            if (c.next < c.records.size() &&
                (!first || c.records[c.next].datetime < first->records[first->next].datetime))
                first = &c;
        }
        if (!first) break;
        const TickRecord& record = first->records[first->next++];
        env.trading_dt = env.calendar_dt = tick_time(record.datetime, day_stamp, midnight);
        first->latest->set_record(record);
        broker.on_tick(*first->latest);
        strategy.handle_tick(ctx, *first->latest);
        ++fed;
    }
    for (std::size_t i = 0; i < used; ++i) cursors[i].ticks = Bars();
    return fed;
}

// Calls `f` with the end of every minute bar of the session: 09:31 to 11:30, 13:01 to 15:00.
template <class F>
void for_each_minute(Date day, F&& f) {
    const DateTime d(day);
    for (int m = 9 * 60 + 31; m <= 11 * 60 + 30; ++m) f(d + std::chrono::minutes(m));
    for (int m = 13 * 60 + 1; m <= 15 * 60; ++m) f(d + std::chrono::minutes(m));
}

void save_state(Environment& env, Date day, const std::string& path, Strategy& strategy,
                StrategyContext& ctx) {
    State accounts = State::array();
    for (auto& [type, acc] : env.portfolio().accounts()) accounts.push_back(acc->get_state());
    State state{{"date", format_date(day)},
                {"accounts", accounts},
                {"orders", env.broker()->save_open_orders()},
                {"last_order_id", env.last_order_id()}};
    if (State own = strategy.save_state(ctx); !own.is_null()) state["strategy"] = std::move(own);
    // Whole or not at all: an earlier good state is never emptied by a failed write.
    write_file_atomically(path, state.dump(2) + "\n", "saved state");
}

struct Restored {
    Date date;
    State strategy;  // null when the state holds none of the strategy's own
};

Restored restore_state(Environment& env, const std::string& path) {
    std::ifstream in(path);
    if (!in) throw RuntimeError(fmt::format("cannot read saved state {}", path));
    State state;
    try {
        state = State::parse(in);
    } catch (const std::exception& e) {
        throw ValueError(fmt::format("saved state {} is not valid JSON: {}", path, e.what()));
    }
    // The date and every account's type are checked before any account is restored.
    auto fail = [&](const std::string& what) {
        return ValueError(fmt::format("saved state {}: {}", path, what));
    };
    if (!state.is_object() || !state.contains("date") || !state["date"].is_string())
        throw fail("'date' must be a date (YYYY-MM-DD)");
    Date date{};
    try {
        date = parse_date(state["date"].get<std::string>());
    } catch (const ValueError& e) {
        throw fail(fmt::format("'date': {}", e.what()));
    }
    if (!state.contains("accounts") || !state["accounts"].is_array())
        throw fail("'accounts' must be a list");
    std::vector<std::pair<Account*, const State*>> accounts;
    for (auto& acc_state : state["accounts"]) {
        if (!acc_state.is_object() || !acc_state.contains("type") || !acc_state["type"].is_string())
            throw fail("every account must have a 'type'");
        auto type = try_parse_enum<DEFAULT_ACCOUNT_TYPE>(acc_state["type"].get<std::string>());
        if (!type) throw fail(fmt::format("unknown account type {}", acc_state["type"].dump()));
        accounts.emplace_back(&env.portfolio().account(*type), &acc_state);
    }
    // Orders open at the save (a state written before they were kept has none).
    std::vector<std::pair<OrderPtr, double>> orders;
    std::int64_t last_id = 0;
    if (state.contains("orders")) {
        if (!state["orders"].is_array()) throw fail("'orders' must be a list");
        for (std::size_t i = 0; i < state["orders"].size(); ++i) {
            const State& o = state["orders"][i];
            try {
                OrderPtr order = Order::from_state(o);
                if (!o.contains("reserved_cash") || !o["reserved_cash"].is_number() ||
                    !(o["reserved_cash"].get<double>() >= 0))
                    throw ValueError("'reserved_cash' must be a cash amount >= 0");
                last_id = std::max(last_id, order->order_id());
                orders.emplace_back(std::move(order), o["reserved_cash"].get<double>());
            } catch (const ValueError& e) {
                throw fail(fmt::format("orders[{}]: {}", i, e.what()));
            }
        }
    }
    if (state.contains("last_order_id")) {
        if (!state["last_order_id"].is_number_integer())
            throw fail("'last_order_id' must be a whole number");
        last_id = std::max(last_id, state["last_order_id"].get<std::int64_t>());
    }
    try {
        for (auto& [account, acc_state] : accounts) {
            account->set_state(*acc_state);
            account->set_last_settled(date);
        }
    } catch (const ValueError& e) {
        throw fail(e.what());
    }
    env.set_last_order_id(last_id);
    for (auto& [order, reserved] : orders) env.broker()->restore_open_order(order, reserved);
    return {date, state.contains("strategy") ? state["strategy"] : State()};
}

}  // namespace

void check_settings(const Config& config) {
    (void)validate(config);
}

Runner::Runner(Config config) : config_(std::move(config)) {}

void Runner::add_mod(std::string name, std::unique_ptr<AbstractMod> mod) {
    in_process_mods_.emplace_back(std::move(name), std::move(mod));
}

RunResult Runner::run() {
    RunSettings settings = validate(config_);
    set_log_level(config_.at("log.level").as_string());
    // Every line of the run goes beside its results; the user log's warnings are counted.
    const std::filesystem::path output_dir = config_.at("base.output_dir").as_string();
    if (!output_dir.empty())
        prepare_output_dir(output_dir, config_.at("base.replace_output").as_bool());
    RunLog run_log(output_dir.empty() ? output_dir : output_dir / "run.log");

    // Load enabled mods first: loading installs their properties and ships their defaults.
    std::vector<std::pair<std::string, std::unique_ptr<AbstractMod, void (*)(AbstractMod*)>>> mods;
    for (auto& [name, mod] : in_process_mods_)
        mods.emplace_back(name, std::unique_ptr<AbstractMod, void (*)(AbstractMod*)>(
                                    mod.release(), [](AbstractMod* m) { delete m; }));
    in_process_mods_.clear();
    const std::vector<std::filesystem::path> mod_path = configured_mod_path(config_);
    std::vector<std::pair<std::string, std::filesystem::path>> shipped;  // mod -> default section
    // Mods built into the program still ship their default section beside the libraries.
    for (auto& [name, mod] : mods)
        for (auto& dir : module_search_path(mod_path))
            if (auto file = dir / ("korvex_mod_" + name + ".toml"); std::filesystem::exists(file)) {
                config_.merge_defaults_under("mod." + name, file);
                shipped.emplace_back(name, file);
                break;
            }
    if (auto mod_section = config_.find("mod")) {
        for (auto& name : mod_section->keys()) {
            if (kBuiltinMods.count(name)) continue;
            ConfigNode section = (*mod_section)[name];
            if (!section.is_table())
                throw TypeError(fmt::format("configuration entry mod.{} must be a section", name));
            if (!section.contains("enabled") || !section["enabled"].as_bool()) continue;
            // A mod given in-process is that mod: never a second instance from its library.
            if (std::any_of(mods.begin(), mods.end(),
                            [&](const auto& m) { return m.first == name; }))
                continue;
            LoadedMod loaded = load_mod(name, mod_path);
            if (!loaded.default_config.empty()) {
                config_.merge_defaults_under("mod." + name, loaded.default_config);
                shipped.emplace_back(name, loaded.default_config);
            }
            mods.emplace_back(name, std::unique_ptr<AbstractMod, void (*)(AbstractMod*)>(
                                        loaded.entry->create(), loaded.entry->destroy));
        }
    }

    for (auto& [name, file] : shipped) {
        Config defaults;
        defaults.merge_defaults_under("mod." + name, file);
        check_mod_keys(config_, name, defaults.at("mod." + name));
    }

    Environment env(config_);
    for (auto& [type, cash] : settings.accounts)
        env.portfolio().add_account(type, cash).set_overdraft_terms(settings.overdraft);
    env.set_broker(std::make_shared<SimulationBroker>(env, config_.at("mod.sys_simulation")));
    if (env_hook_) env_hook_(env);

    std::size_t started = 0;
    RunResult result;
    auto tear_down_all = [&](int code, std::exception_ptr error) {
        for (std::size_t i = started; i-- > 0;) {
            try {
                mods[i].second->tear_down(code, error);
            } catch (const std::exception& e) {
                system_log().error(
                    fmt::format("tear_down of mod {} failed: {}", mods[i].first, e.what()));
            }
        }
        started = 0;
    };

    try {
        for (auto& [name, mod] : mods) {
            ConfigNode section = env.config().at("mod." + name);
            ++started;
            mod->start_up(env, section);
        }
        if (!env.data_source()) {
            env.set_data_source(std::make_shared<BaseDataSource>(
                env.config().at("base.data_bundle_path").as_string(),
                future_info_of(env.config())));
        }
        env.run_post_system_init();
        if (settings.frequency == "tick" && !env.data_source()->tick_store())
            throw RuntimeError(
                "frequency 'tick' needs a tick data store, and no mod registered one (enable "
                "mod.lumeq_data for the bundle's HDF5 ticks)");

        // Strategy libraries register their strategies by name when loaded.
        for (auto& lib : env.config().at("base.strategy_libraries").as_string_list())
            load_module(lib, mod_path);
        if (!strategy_) strategy_ = load_configured_strategy(env.config(), mod_path);
        StrategyContext ctx(env);
        std::vector<Date> days = env.data_proxy().get_trading_dates(settings.start, settings.end);
        const std::vector<Date>& calendar = env.data_proxy().trading_calendar();
        const std::string data_span = calendar.empty() ? std::string("the data has no trading day")
                                                       : fmt::format("the data covers {} to {}",
                                                                     format_date(calendar.front()),
                                                                     format_date(calendar.back()));
        if (const std::string rf = env.config().at("base.risk_free_instrument").as_string();
            !rf.empty() && !env.data_proxy().find_instrument(rf))
            throw ValueError(
                fmt::format("base.risk_free_instrument '{}' is not an instrument of the data", rf));
        if (days.empty())
            throw ValueError(fmt::format("no trading day between {} and {} in the calendar ({})",
                                         format_date(settings.start), format_date(settings.end),
                                         data_span));
        if (settings.end > calendar.back() || settings.start < calendar.front())
            system_log().warning(
                fmt::format("the run covers {} to {} of base.start_date {} to base.end_date {}: {}",
                            format_date(days.front()), format_date(days.back()),
                            format_date(settings.start), format_date(settings.end), data_span));
        const std::string resumed_from = env.config().at("base.resume_from").as_string();
        State saved_strategy;
        if (const std::string& resume = resumed_from; !resume.empty()) {
            const Restored restored = restore_state(env, resume);
            const Date saved = restored.date;
            saved_strategy = restored.strategy;
            std::erase_if(days, [&](Date d) { return d <= saved; });
            // The run goes on from the day after the saved close: a gap would skip its days,
            // their coupons and settlements with them.
            const auto after = std::upper_bound(calendar.begin(), calendar.end(), saved);
            if (days.empty() || after == calendar.end())
                throw ValueError(fmt::format(
                    "nothing to resume: the state {} was saved on {}, and no trading day follows "
                    "it up to base.end_date {} ({})",
                    resume, format_date(saved), format_date(settings.end), data_span));
            if (days.front() != *after)
                throw ValueError(fmt::format(
                    "the state {} was saved on {}: the run must resume on {}, the next trading "
                    "day, not on {} (base.start_date {})",
                    resume, format_date(saved), format_date(*after), format_date(days.front()),
                    format_date(settings.start)));
            env.trading_dt = env.calendar_dt = DateTime(saved) + std::chrono::hours(15);
            env.run_state_restored();
            result.opening_equity = env.portfolio().total_value();
            result.resumed_from = saved;
            system_log().info(
                fmt::format("resumed from {} saved on {}", resume, format_date(saved)));
        }
        for (auto& [name, metric] : env.daily_metrics()) result.metric_names.push_back(name);
        for (auto* o : observers_) o->on_start(env, days);
        // From here on the strategy sees only what is known at the run's time: before the first
        // day's open during init.
        struct ClockGuard {
            DataProxy& proxy;
            ~ClockGuard() { proxy.set_clock(nullptr); }
        } clock_guard{env.data_proxy()};
        env.trading_dt = env.calendar_dt =
            DateTime(days.front()) + std::chrono::hours(9) + std::chrono::minutes(30);
        env.data_proxy().set_clock(&env.calendar_dt);
        strategy_->init(ctx);
        if (!resumed_from.empty()) {
            if (saved_strategy.is_null())
                system_log().warning(fmt::format(
                    "the state {} holds nothing of the strategy's own: the strategy starts "
                    "afresh, and may trade otherwise than the uninterrupted run would",
                    resumed_from));
            else
                strategy_->restore_state(ctx, saved_strategy);
        }

        PriceBook prices(env);
        std::vector<TickCursor> tick_cursors;
        std::size_t snapshots = 0;
        AbstractBroker& broker = *env.broker();
        for (Date day : days) {
            const DateTime open = DateTime(day) + std::chrono::hours(9) + std::chrono::minutes(30);
            const DateTime close = DateTime(day) + std::chrono::hours(15);
            env.trading_dt = env.calendar_dt = open;
            for (auto& [type, acc] : env.portfolio().accounts()) acc->before_trading(day);
            broker.before_trading();
            strategy_->before_trading(ctx);
            if (settings.frequency == "1m") {
                for_each_minute(day, [&](DateTime minute) {
                    env.trading_dt = env.calendar_dt = minute;
                    strategy_->handle_bar(ctx);
                    broker.on_bar();
                });
            } else if (settings.frequency == "tick") {
                snapshots += run_tick_day(env, *strategy_, ctx, broker, day, tick_cursors);
            } else {
                env.trading_dt = env.calendar_dt = close;
                for (auto& [type, acc] : env.portfolio().accounts())
                    prices.mark(*acc, convert_date_to_int(day));
                strategy_->handle_bar(ctx);
                broker.on_bar();
            }
            env.trading_dt = env.calendar_dt = close;
            strategy_->after_trading(ctx);
            broker.after_trading();
            for (auto& [type, acc] : env.portfolio().accounts()) {
                prices.mark(*acc, convert_date_to_int(day));
                acc->settlement(day);
                if (books_check_) acc->check_books(day);
            }
            env.run_day_closed();
            result.daily.push_back(record_day(env, day));
            for (auto* o : observers_) o->on_day_end(env, result.daily.back());
        }
        // A tick run that saw nothing is almost always a setup mistake, not a quiet market.
        if (settings.frequency == "tick" && snapshots == 0)
            system_log().warning(fmt::format(
                "the tick run saw no quote snapshot: {} instruments subscribed; does the tick "
                "store hold data for them between {} and {}?",
                ctx.subscribed().size(), format_date(days.front()), format_date(days.back())));
        if (auto path = env.config().at("base.save_state_to").as_string(); !path.empty())
            save_state(env, days.back(), path, *strategy_, ctx);

        result.trades = env.trades();
        for (auto& [name, extra] : env.summary_extras())
            result.summary_extras.emplace_back(name, extra(env));
        result.report_sections = env.report_sections();
        result.output_dir = env.config().at("base.output_dir").as_string();
        result.order_warnings = run_log.warnings_by_reason();
        if (!result.output_dir.empty()) write_results(env, result);
        for (auto* o : observers_) o->on_finish(env, result);
    } catch (...) {
        // Files of an earlier run, or of this one half written, must not pass for its results.
        if (!output_dir.empty()) remove_results(output_dir);
        try {
            throw;
        } catch (const std::exception& e) {
            run_log.failed(e.what());
        } catch (...) {
            run_log.failed("an unknown error");
        }
        tear_down_all(1, std::current_exception());
        throw;
    }
    tear_down_all(0, nullptr);
    return result;
}

}  // namespace korvex
