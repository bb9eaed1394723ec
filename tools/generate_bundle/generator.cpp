#include "generator.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <system_error>

#include <fmt/format.h>
#include <unistd.h>

#include "bond_series.hpp"
#include "bundle_database.hpp"
#include "calendars.hpp"
#include "korvex/errors.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "market_model.hpp"
#include "minute_bars.hpp"
#include "observed_curve.hpp"
#include "records.hpp"
#include "repo_series.hpp"
#include "ticks.hpp"
#include "universe.hpp"

namespace korvex_generate {

namespace {

namespace fs = std::filesystem;
using QuantLib::Date;

void validate(const GeneratorOptions& o) {
    const korvex::Date first = korvex::make_date(2005, 1, 4);
    const korvex::Date last = korvex::make_date(2100, 12, 31);
    if (o.out.empty()) throw korvex::ValueError("--out: a bundle directory is required");
    if (o.start < first || o.start > last) {
        throw korvex::ValueError(
            fmt::format("--start {}: must lie between {} and {}", korvex::format_date(o.start),
                        korvex::format_date(first), korvex::format_date(last)));
    }
    if (o.end < o.start || o.end > last) {
        throw korvex::ValueError(
            fmt::format("--end {}: must lie between --start {} and {}", korvex::format_date(o.end),
                        korvex::format_date(o.start), korvex::format_date(last)));
    }
    if (o.bonds < 1 || o.bonds > 20000) {
        throw korvex::ValueError(fmt::format("--bonds {}: must be between 1 and 20000", o.bonds));
    }
    if (o.minute_bonds < 0) {
        throw korvex::ValueError(
            fmt::format("--minute-bonds {}: must not be negative", o.minute_bonds));
    }
    std::error_code ec;
    if (fs::exists(o.out, ec) && !o.force && !(fs::is_directory(o.out) && fs::is_empty(o.out))) {
        throw korvex::ValueError(fmt::format(
            "{}: a bundle is already there; pass --force to replace it", o.out.string()));
    }
}

void write_exchange_calendar(const fs::path& path, const std::vector<Date>& days) {
    std::ofstream out(path, std::ios::binary);
    for (const Date& d : days) out << to_date_int(d) << '\n';
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Exchange bonds still listed at the end of the span, the most traded first.
std::vector<const BondSpec*> minute_candidates(const std::vector<BondSpec>& bonds, int count,
                                               const Date& end) {
    std::vector<const BondSpec*> picks;
    for (const BondSpec& b : bonds) {
        if ((b.market == Market::Shanghai || b.market == Market::Shenzhen) &&
            b.maturity_date > end && b.listed_date + 60 < end) {
            picks.push_back(&b);
        }
    }
    std::stable_sort(picks.begin(), picks.end(), [](const BondSpec* a, const BondSpec* b) {
        return a->liquidity > b->liquidity;
    });
    if (picks.size() > static_cast<std::size_t>(count))
        picks.resize(static_cast<std::size_t>(count));
    return picks;
}

struct Builder {
    const GeneratorOptions& options;
    const Progress& progress;
    GeneratorSummary summary;
    tavlen::YieldCurve observed_points;
    std::optional<korvex_mod_bond::CurveHistory> observed;

    // The treasury curve the bonds are valued on, for the span: the observed points, or the
    // modelled curve at the standard tenors on every inter-bank day.
    void write_curve(BundleDatabase& db, const MarketModel& model) {
        const tavlen::YieldCurve& points = observed_points;
        tavlen::YieldCurve span;
        if (observed) {
            for (std::size_t i = 0; i < points.size(); ++i) {
                if (points.dates[i] >= options.start && points.dates[i] <= options.end)
                    span.append(points.dates[i], points.tenors[i], points.yields[i]);
            }
        } else {
            for (const Date& d :
                 business_days(inter_bank_calendar(), to_ql(options.start), to_ql(options.end))) {
                const korvex::Date day = korvex::date_from_int(to_date_int(d));
                for (const double tenor : STANDARD_TENORS)
                    span.append(day, tenor,
                                round_to_decimals(100.0 * model.government_yield(d, tenor), 4));
            }
        }
        db.add_curve(TREASURY_CURVE, span);
        summary.curve_points = span.size();
        say(fmt::format("treasury curve: {} points ({})", span.size(),
                        observed ? "observed, " + options.curve.filename().string() : "modelled"));
    }

    void say(const std::string& line) const {
        if (progress) progress(line);
    }

    void build(const fs::path& dir) {
        const Date start = to_ql(options.start);
        const Date end = to_ql(options.end);
        // Calendars run a year past the data so that due dates near the end still resolve.
        const Date calendar_end(31, QuantLib::December, end.year() + 1);
        const auto exchange_days =
            business_days(exchange_calendar(), first_calendar_day(), calendar_end);
        const auto ib_days =
            business_days(inter_bank_calendar(), first_calendar_day(), calendar_end);
        write_exchange_calendar(dir / "trading_dates.txt", exchange_days);
        say(fmt::format("calendars: {} exchange and {} inter-bank trading days, {} to {}",
                        exchange_days.size(), ib_days.size(), to_date_int(first_calendar_day()),
                        to_date_int(calendar_end)));

        const MarketModel model(options.seed, start - 3650 - 60, end + 1, issuer_spreads(),
                                observed ? &*observed : nullptr);
        const std::vector<BondSpec> bonds =
            make_bonds(options.seed, options.bonds, start, end, model);
        const std::vector<RepoSpec> repos = make_repos();

        BundleDatabase db(dir / "tavlen.sqlite");
        std::vector<std::int32_t> ib_ints;
        for (const Date& d : ib_days) ib_ints.push_back(to_date_int(d));
        db.add_trading_dates(ib_ints);
        write_curve(db, model);
        for (const BondSpec& b : bonds) db.add_instrument(b.order_book_id, "bond", bond_record(b));
        for (const RepoSpec& r : repos) db.add_instrument(r.order_book_id, "repo", repo_record(r));

        const DayGrid grid = DayGrid::make(start, end);
        const auto picks = minute_candidates(bonds, options.minute_bonds, end);
        std::int32_t minute_from = 0, tick_from = 0;
        for (std::size_t i = grid.days.size(), n = 0; i-- > 0 && n < MINUTE_BAR_DAYS;) {
            if (!grid.exchange_open[i]) continue;
            minute_from = grid.ints[i];
            if (++n <= TICK_DAYS) tick_from = minute_from;
        }
        std::map<std::string, std::vector<PriceRow>> minute_days;

        say(fmt::format("bonds: {} over {} inter-bank days from {} to {}", bonds.size(),
                        grid.days.size(), to_date_int(start), to_date_int(end)));
        std::size_t done = 0, next_report = bonds.size() / 10 + 1;
        for (const BondSpec& b : bonds) {
            const BondData data = simulate_bond(b, model, grid, options.seed);
            db.add_bond_data(b.order_book_id, data);
            if (b.market == Market::Other) {
                ++summary.other_ids;
            } else {
                ++summary.bonds;
            }
            summary.valuation_rows += data.valuations.size();
            summary.price_rows += data.prices.size();
            if (std::any_of(picks.begin(), picks.end(),
                            [&](const BondSpec* p) { return p == &b; })) {
                auto& days = minute_days[b.order_book_id];
                std::copy_if(data.prices.begin(), data.prices.end(), std::back_inserter(days),
                             [&](const PriceRow& r) { return r.date >= minute_from; });
            }
            if (++done >= next_report || done == bonds.size()) {
                say(fmt::format("bonds: {}/{} ({} valuation and {} price rows)", done, bonds.size(),
                                summary.valuation_rows, summary.price_rows));
                next_report += bonds.size() / 10 + 1;
            }
        }

        const auto ib_span = business_days(inter_bank_calendar(), start, end);
        const auto exchange_span = business_days(exchange_calendar(), start, end);
        for (const RepoSpec& r : repos) {
            const bool ib = r.market == Market::InterBank;
            const QuantLib::Calendar cal = ib ? inter_bank_calendar() : exchange_calendar();
            const auto rows =
                simulate_repo(r, ib ? ib_span : exchange_span, cal.advance(end, 1, QuantLib::Days),
                              model, options.seed);
            db.add_repo_rows(r.order_book_id, rows);
            summary.repo_rows += rows.size();
        }
        summary.repos = repos.size();
        say(fmt::format("repos: {} with {} quotation rows", repos.size(), summary.repo_rows));

        db.set_meta("schema_version", "1");
        db.set_meta("generator", "korvex-generate");
        db.set_meta("seed", std::to_string(options.seed));
        db.set_meta("start_date", std::to_string(to_date_int(start)));
        db.set_meta("end_date", std::to_string(to_date_int(end)));
        db.set_meta("bonds", std::to_string(options.bonds));
        if (observed) db.set_meta("curve_file", options.curve.filename().string());
        db.finish();

        using korvex_mod_lumeq_data::write_h5_minute_bars;
        fs::create_directories(dir / "h5" / "ticks");
        for (const auto& [id, days] : minute_days) {
            const auto bars = simulate_minute_bars(days, options.seed, id);
            write_h5_minute_bars(dir / "h5" / (id + ".h5"), minute_bar_layout(),
                                 std::as_bytes(std::span(bars)));
            ++summary.minute_files;
            const auto recent = std::lower_bound(
                bars.begin(), bars.end(), std::int64_t{tick_from} * 1000000,
                [](const MinuteBar& bar, std::int64_t stamp) { return bar.datetime < stamp; });
            const auto ticks =
                simulate_ticks(std::vector<MinuteBar>(recent, bars.end()), options.seed, id);
            write_h5_minute_bars(dir / "h5" / "ticks" / (id + ".h5"), korvex::tick_layout(),
                                 std::as_bytes(std::span(ticks)));
            summary.ticks += ticks.size();
        }
        say(fmt::format("minute bars: {} exchange bonds over the last {} exchange days",
                        summary.minute_files, MINUTE_BAR_DAYS));
        say(fmt::format("ticks: {} snapshots of {} exchange bonds over the last {} exchange days",
                        summary.ticks, minute_days.size(), TICK_DAYS));
    }
};

}  // namespace

GeneratorSummary generate_bundle(const GeneratorOptions& options, const Progress& progress) {
    validate(options);
    Builder builder{options, progress, {}, {}, {}};
    if (!options.curve.empty()) {
        builder.observed_points = read_curve_csv(options.curve);
        builder.observed.emplace(builder.observed_points, options.curve.string());
        const auto& days = builder.observed->days();
        if (options.start < days.front() || options.end > days.back())
            throw korvex::ValueError(
                fmt::format("--start {} --end {}: the curve {} covers {} to {} only",
                            korvex::format_date(options.start), korvex::format_date(options.end),
                            options.curve.string(), korvex::format_date(days.front()),
                            korvex::format_date(days.back())));
    }
    fs::path out = fs::absolute(options.out).lexically_normal();
    if (out.filename().empty()) out = out.parent_path();  // "data/bundle/"
    const fs::path parent = out.parent_path();
    fs::create_directories(parent);
    const std::string pid = std::to_string(::getpid());
    const fs::path partial = parent / (out.filename().string() + ".partial-" + pid);
    fs::remove_all(partial);
    fs::create_directories(partial);

    try {
        builder.build(partial);
        if (fs::exists(out)) {
            const fs::path old = parent / (out.filename().string() + ".old-" + pid);
            fs::rename(out, old);
            fs::rename(partial, out);
            fs::remove_all(old);
        } else {
            fs::rename(partial, out);
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(partial, ignored);
        throw;
    }
    builder.say(fmt::format("bundle written to {}", out.string()));
    return builder.summary;
}

}  // namespace korvex_generate
