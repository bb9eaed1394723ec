#include "universe.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

#include <fmt/format.h>
#include <ql/time/period.hpp>

#include "calendars.hpp"
#include "market_model.hpp"
#include "random.hpp"

namespace korvex_generate {

namespace {

using QuantLib::Date;

enum class Kind {
    Government,
    DevelopmentBank,
    ExportImportBank,
    AgriculturalBank,
    LocalGovernment,
    Discount,
    Enterprise,
    ShanghaiGovernment,
    ShanghaiCorporate,
    ShenzhenGovernment,
    ShenzhenCorporate,
};

struct Category {
    Kind kind;
    double share;
};

// Rough make-up of the market by number of bonds.
constexpr Category CATEGORIES[] = {
    {Kind::Government, 0.18},        {Kind::DevelopmentBank, 0.10},
    {Kind::ExportImportBank, 0.06},  {Kind::AgriculturalBank, 0.06},
    {Kind::LocalGovernment, 0.08},   {Kind::Discount, 0.06},
    {Kind::Enterprise, 0.06},        {Kind::ShanghaiGovernment, 0.06},
    {Kind::ShanghaiCorporate, 0.16}, {Kind::ShenzhenGovernment, 0.05},
    {Kind::ShenzhenCorporate, 0.13},
};
constexpr std::size_t CATEGORY_COUNT = std::size(CATEGORIES);

// Issuer table layout: 0 sovereign, 1-3 policy banks, then provinces, city builders (inter-bank
// enterprise bonds) and exchange corporates.
constexpr std::size_t FIRST_PROVINCE = 4, PROVINCES = 6;
constexpr std::size_t FIRST_CITY = FIRST_PROVINCE + PROVINCES, CITIES = 5;
constexpr std::size_t FIRST_CORPORATE = FIRST_CITY + CITIES, CORPORATES = 8;

struct TenorChoice {
    int years;
    double weight;
};

template <std::size_t N>
int pick_tenor(const TenorChoice (&choices)[N], Rng& rng) {
    double u = rng.uniform();
    for (const auto& c : choices) {
        if (u < c.weight) return c.years;
        u -= c.weight;
    }
    return choices[N - 1].years;
}

constexpr TenorChoice GOVERNMENT_TENORS[] = {{1, 0.10}, {2, 0.10},  {3, 0.20}, {5, 0.20},
                                             {7, 0.15}, {10, 0.20}, {30, 0.05}};
constexpr TenorChoice POLICY_TENORS[] = {{1, 0.10}, {2, 0.10}, {3, 0.25},
                                         {5, 0.25}, {7, 0.10}, {10, 0.20}};
constexpr TenorChoice LOCAL_TENORS[] = {{3, 0.25}, {5, 0.30}, {7, 0.25}, {10, 0.20}};
constexpr TenorChoice CORPORATE_TENORS[] = {{3, 0.40}, {5, 0.40}, {7, 0.20}};

// Hands out unused codes "<prefix><counter, zero-padded>"; the counter widens if it must.
class IdAllocator {
public:
    std::string next(const std::string& prefix, int width, const std::string& suffix) {
        int& counter = counters_[prefix + suffix];
        for (;;) {
            ++counter;
            std::string id = fmt::format("{}{:0{}}{}", prefix, counter, width, suffix);
            if (used_.insert(id).second) return id;
        }
    }

private:
    std::map<std::string, int> counters_;
    std::set<std::string> used_;
};

// Per-stem serial numbers of the Chinese short names ("18国开05").
class SymbolAllocator {
public:
    std::string next(int year, const std::string& stem) {
        const int n = ++counters_[fmt::format("{}|{}", year % 100, stem)];
        return fmt::format("{:02}{}{:02}", year % 100, stem, n);
    }

private:
    std::map<std::string, int> counters_;
};

double round_to(double x, double step) {
    return std::round(x / step) * step;
}

// Draws the issue day in [lo, hi] and nudges it until it is a working day of both markets and
// the maturity falls on an exchange working day, so the last payment needs no adjustment.
void place_dates(BondSpec& b, const QuantLib::Period& tenor, const Date& lo, const Date& hi,
                 Rng& rng) {
    const QuantLib::Calendar ib = inter_bank_calendar();
    const QuantLib::Calendar sse = exchange_calendar();
    const auto span = std::max<Date::serial_type>(0, hi - lo);
    Date issue = lo + static_cast<Date::serial_type>(rng.uniform() * static_cast<double>(span));
    for (int guard = 0; guard < 400; ++guard, ++issue) {
        if (!ib.isBusinessDay(issue) || !sse.isBusinessDay(issue)) continue;
        const Date maturity = issue + tenor;
        if (!sse.isBusinessDay(maturity)) continue;
        b.issue_date = issue;
        b.maturity_date = maturity;
        const QuantLib::Calendar& listing = b.market == Market::InterBank ? ib : sse;
        b.listed_date = std::min(listing.advance(issue, 3, QuantLib::Days), maturity - 1);
        return;
    }
    throw std::runtime_error("no issue date found for " + b.order_book_id);
}

}  // namespace

const std::vector<Issuer>& issuers() {
    static const std::vector<Issuer> table = {
        {"中华人民共和国财政部", "国债", 0.0},
        {"国家开发银行", "国开", 0.0035},
        {"中国进出口银行", "进出", 0.0045},
        {"中国农业发展银行", "农发", 0.0045},
        {"广东省人民政府", "广东债", 0.0025},
        {"江苏省人民政府", "江苏债", 0.0025},
        {"浙江省人民政府", "浙江债", 0.0025},
        {"山东省人民政府", "山东债", 0.0030},
        {"四川省人民政府", "四川债", 0.0035},
        {"贵州省人民政府", "贵州债", 0.0060},
        {"南京市城市建设投资控股(集团)有限责任公司", "宁城建债", 0.0120},
        {"长沙市城市建设投资开发集团有限公司", "长沙城投债", 0.0150},
        {"武汉地铁集团有限公司", "武汉地铁债", 0.0100},
        {"天津城市基础设施建设投资集团有限公司", "津城投债", 0.0170},
        {"昆明市城建投资开发有限责任公司", "昆明城投债", 0.0250},
        {"中国石油天然气集团有限公司", "中油", 0.0070},
        {"国家电网有限公司", "国网", 0.0060},
        {"万科企业股份有限公司", "万科", 0.0120},
        {"招商局蛇口工业区控股股份有限公司", "招商", 0.0110},
        {"宝山钢铁股份有限公司", "宝钢", 0.0080},
        {"中国华能集团有限公司", "华能", 0.0075},
        {"中国铁建股份有限公司", "铁建", 0.0085},
        {"中国长江三峡集团有限公司", "三峡", 0.0065},
    };
    return table;
}

std::vector<double> issuer_spreads() {
    std::vector<double> spreads;
    for (const auto& i : issuers()) spreads.push_back(i.spread);
    return spreads;
}

namespace {

// One of each category when there is room, the rest by share (largest remainder).
std::vector<int> category_counts(int count) {
    std::vector<int> n(CATEGORY_COUNT, 0);
    int remaining = count;
    if (count >= static_cast<int>(CATEGORY_COUNT)) {
        std::fill(n.begin(), n.end(), 1);
        remaining -= static_cast<int>(CATEGORY_COUNT);
    }
    std::vector<std::pair<double, std::size_t>> fractions;
    int assigned = 0;
    for (std::size_t c = 0; c < CATEGORY_COUNT; ++c) {
        const double exact = remaining * CATEGORIES[c].share;
        const int whole = static_cast<int>(std::floor(exact));
        n[c] += whole;
        assigned += whole;
        fractions.emplace_back(exact - whole, c);
    }
    std::stable_sort(fractions.begin(), fractions.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t k = 0; assigned < remaining; ++k, ++assigned) ++n[fractions[k].second];
    return n;
}

struct Builder {
    std::uint64_t seed;
    Date start;
    Date end;
    const MarketModel& model;
    IdAllocator ids;
    SymbolAllocator symbols;

    BondSpec make(Kind kind, int g) {
        Rng rng(seed, stream_key("bond") + static_cast<std::uint64_t>(g));
        BondSpec b;
        int years = 0;
        int days = 0;
        std::string prefix, stem;
        int width = 2;
        double size_lo = 1e9, size_hi = 4e9, liq_lo = 0.25, liq_hi = 0.85;
        b.bond_type = "government";
        switch (kind) {
            case Kind::Government:
                years = pick_tenor(GOVERNMENT_TENORS, rng);
                prefix = "00";
                stem = "附息国债";
                size_lo = 2e10, size_hi = 4.5e10, liq_lo = 0.6, liq_hi = 0.95;
                break;
            case Kind::DevelopmentBank:
            case Kind::ExportImportBank:
            case Kind::AgriculturalBank: {
                const int k = static_cast<int>(kind) - static_cast<int>(Kind::DevelopmentBank);
                b.issuer = 1 + static_cast<std::size_t>(k);
                b.bond_type = "policy_bank";
                years = pick_tenor(POLICY_TENORS, rng);
                prefix = fmt::format("0{}", 2 + k);
                stem = issuers()[b.issuer].short_name;
                size_lo = 1e10, size_hi = 3.5e10, liq_lo = 0.6, liq_hi = 0.95;
                break;
            }
            case Kind::LocalGovernment:
                b.issuer = FIRST_PROVINCE + static_cast<std::size_t>(rng.integer(0, PROVINCES - 1));
                b.bond_type = "local_government";
                years = pick_tenor(LOCAL_TENORS, rng);
                prefix = "05", width = 3;
                size_lo = 2e9, size_hi = 1.5e10, liq_lo = 0.3, liq_hi = 0.6;
                break;
            case Kind::Discount:
                b.bond_type = "discount";
                days = rng.chance(0.5) ? 91 : 182;
                b.frequency = 0;
                prefix = "99";
                stem = "贴现国债";
                size_lo = 1e10, size_hi = 3e10, liq_lo = 0.4, liq_hi = 0.8;
                break;
            case Kind::Enterprise:
                b.issuer = FIRST_CITY + static_cast<std::size_t>(rng.integer(0, CITIES - 1));
                b.bond_type = "enterprise";
                years = 7;
                b.amortizing_payments = 5;
                prefix = "80", width = 3;
                size_lo = 5e8, size_hi = 2e9, liq_lo = 0.15, liq_hi = 0.45;
                break;
            case Kind::ShanghaiGovernment:
            case Kind::ShenzhenGovernment:
                b.market = kind == Kind::ShanghaiGovernment ? Market::Shanghai : Market::Shenzhen;
                years = pick_tenor(GOVERNMENT_TENORS, rng);
                stem = "国债";
                size_lo = 2e10, size_hi = 4.5e10, liq_lo = 0.4, liq_hi = 0.8;
                break;
            case Kind::ShanghaiCorporate:
            case Kind::ShenzhenCorporate:
                b.market = kind == Kind::ShanghaiCorporate ? Market::Shanghai : Market::Shenzhen;
                b.issuer =
                    FIRST_CORPORATE + static_cast<std::size_t>(rng.integer(0, CORPORATES - 1));
                b.bond_type = "corporate";
                years = pick_tenor(CORPORATE_TENORS, rng);
                if (rng.chance(0.2)) {
                    // Equal parts that divide 100 exactly, no more of them than years.
                    const int choices[] = {2, 4, 5};
                    const int usable = years >= 5 ? 3 : years >= 4 ? 2 : 1;
                    b.amortizing_payments = choices[rng.integer(0, usable - 1)];
                }
                width = 3;
                break;
        }
        if (kind != Kind::Discount) b.frequency = years >= 10 ? 2 : 1;
        if (stem.empty()) stem = issuers()[b.issuer].short_name;

        const auto tenor_days = days > 0 ? days : years * 365;
        const QuantLib::Period tenor = days > 0 ? QuantLib::Period(days, QuantLib::Days)
                                                : QuantLib::Period(years, QuantLib::Years);
        // Most bonds are already out at the start; few of them mature in its first weeks.
        const auto lookback = days > 0 ? tenor_days - 10 : tenor_days * 7 / 10;
        const Date lo = std::max(start - lookback, start - 3650);
        const Date hi = std::max(lo, end - 15);
        b.order_book_id = fmt::format("bond #{}", g);
        place_dates(b, tenor, lo, hi, rng);

        const int year = b.issue_date.year();
        const int yy = year % 100;
        switch (b.market) {
            case Market::InterBank:
                b.order_book_id = ids.next(fmt::format("{:02}{}", yy, prefix), width, ".IB");
                break;
            case Market::Shanghai:
                if (b.bond_type == "government") {
                    b.order_book_id = ids.next("0195", 2, ".SH");
                } else {
                    static const char* SH[] = {"143", "155", "163", "175", "188"};
                    b.order_book_id = ids.next(SH[g % 5], 3, ".SH");
                }
                break;
            case Market::Shenzhen:
                b.order_book_id = b.bond_type == "government"
                                      ? ids.next(fmt::format("10{:02}", yy), 2, ".SZ")
                                      : ids.next(g % 2 ? "112" : "149", 3, ".SZ");
                break;
            case Market::Other:
                break;
        }
        b.symbol = symbols.next(year, stem);

        const double life = days > 0 ? days / 365.0 : years * (b.amortizing_payments ? 0.7 : 1.0);
        const double y = model.government_yield(b.issue_date, life) +
                         model.issuer_spread(b.issuer, b.issue_date);
        if (b.frequency == 0) {
            b.issue_price = round_to(100.0 / (1.0 + y * days / 365.0), 0.001);
        } else {
            b.coupon_rate = std::max(0.5, round_to(100.0 * y, 0.01));
        }
        b.issue_size = round_to(rng.uniform(size_lo, size_hi), 1e8);
        b.liquidity = rng.uniform(liq_lo, liq_hi);
        b.round_lot_present = rng.chance(0.4);
        b.issue_price_present = b.frequency == 0 || g % 7 != 2;
        b.listed_date_empty = g % 23 == 5;
        b.de_listed_date_empty = g % 23 == 16;
        return b;
    }
};

}  // namespace

std::vector<BondSpec> make_bonds(std::uint64_t seed, int count, const Date& start, const Date& end,
                                 const MarketModel& model) {
    Builder builder{seed, start, end, model, {}, {}};
    std::vector<BondSpec> bonds;
    const std::vector<int> counts = category_counts(count);
    int g = 0;
    for (std::size_t c = 0; c < CATEGORY_COUNT; ++c) {
        for (int j = 0; j < counts[c]; ++j) bonds.push_back(builder.make(CATEGORIES[c].kind, g++));
    }
    // Ids of markets the stores do not serve: full records, no market data.
    const int others = std::max(2, count / 50);
    for (int j = 0; j < others; ++j) {
        BondSpec b = builder.make(Kind::ShanghaiCorporate, g++);
        b.market = Market::Other;
        b.order_book_id =
            j % 2 ? builder.ids.next("00", 4, ".OF") : builder.ids.next("81", 4, ".BJ");
        bonds.push_back(std::move(b));
    }
    std::sort(bonds.begin(), bonds.end(), [](const BondSpec& a, const BondSpec& b) {
        return a.order_book_id < b.order_book_id;
    });
    return bonds;
}

std::vector<RepoSpec> make_repos() {
    std::vector<RepoSpec> repos = {
        {"R001.IB", "R001", Market::InterBank, 1},  {"R002.IB", "R002", Market::InterBank, 2},
        {"R007.IB", "R007", Market::InterBank, 7},  {"FR007.IB", "FR007", Market::InterBank, 7},
        {"R014.IB", "R014", Market::InterBank, 14}, {"DR007.IB", "DR007", Market::InterBank, 7},
        {"R021.IB", "R021", Market::InterBank, 21}, {"R1M.IB", "R1M", Market::InterBank, 30},
        {"R3M.IB", "R3M", Market::InterBank, 90},   {"R6M.IB", "R6M", Market::InterBank, 182},
    };
    const int terms[] = {1, 2, 3, 4, 7, 14, 28, 91, 182};
    const char* shanghai[] = {"204001", "204002", "204003", "204004", "204007",
                              "204014", "204028", "204091", "204182"};
    const char* shenzhen[] = {"131810", "131811", "131800", "131809", "131801",
                              "131802", "131803", "131805", "131806"};
    for (std::size_t k = 0; k < std::size(terms); ++k) {
        repos.push_back({std::string(shanghai[k]) + ".SH", fmt::format("GC{:03}", terms[k]),
                         Market::Shanghai, terms[k]});
    }
    for (std::size_t k = 0; k < std::size(terms); ++k) {
        repos.push_back({std::string(shenzhen[k]) + ".SZ", fmt::format("R-{:03}", terms[k]),
                         Market::Shenzhen, terms[k]});
    }
    return repos;
}

}  // namespace korvex_generate
