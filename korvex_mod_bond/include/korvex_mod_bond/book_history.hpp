// The bond book close by close: where each day's change of equity came from, term by term and
// bond by bond (attribution.csv, daily pnl_* columns), and what the book held and how it was
// exposed to rates (positions_daily.csv, DV01, durations, key-rate DV01, leverage). The terms of
// a day add up to its change of equity; what the yield model does not explain is the residual.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "korvex/environment.hpp"

namespace korvex_mod_bond {

enum class PnlTerm : std::uint8_t {
    CARRY,      // the bond a day older at an unchanged yield: coupon accrual and pull to par
    ROLL_DOWN,  // the yield moving along an unchanged curve as the maturity shortens
    RATES,      // the curve's move at the bond's remaining maturity
    SPREAD,     // the rest of the yield's move
    TRADING,    // fills against the day's close
    RESIDUAL,   // what the yield model leaves of the bond's change of value
    FUNDING,    // repo interest accrued, paid and earned
    COSTS,      // commissions and taxes
    CASH,       // overdraft interest, other instruments and other cash
};
inline constexpr std::size_t PNL_TERM_COUNT = 9;

// Key rates of the key-rate DV01, in years.
inline constexpr std::array<double, 6> KEY_RATE_YEARS{1, 3, 5, 7, 10, 30};

class BookHistory {
public:
    // Registers the history with the run: recorded at each close, written as
    // attribution.csv and positions_daily.csv, its book totals as daily columns and summary
    // figures.
    static void load(korvex::Environment& env);

    // What the book did since the previous close, and what it holds now.
    void record_close(korvex::Environment& env);
    // The book as it stands (a run's start or a restored close): the next close counts from it.
    void take_stock(korvex::Environment& env);

    using Terms = std::array<double, PNL_TERM_COUNT>;
    const Terms& day_terms() const { return day_; }
    const Terms& run_terms() const { return run_; }

    struct Risk {
        double duration_value = 0;  // modified duration times value, summed
        std::array<double, KEY_RATE_YEARS.size()> key_rate_dv01{};
    };
    const Risk& risk() const { return risk_; }

    void write_attribution(std::ostream& out) const;
    void write_positions(std::ostream& out) const;

private:
    // A bond as it closed: its signed quantity and mark, what it was owed, its yield figures.
    struct Held {
        double quantity = 0, mark = 0, receivable = 0;
        double ytm = NAN, duration = NAN, convexity = NAN;  // percent, years
        double curve = NAN;  // the reference curve at the bond's maturity, percent
        korvex::Date as_of{};
        bool priced = false;
    };
    // Today's part of a bond: its close and its cash.
    struct Today {
        double quantity = 0, mark = NAN, receivable = 0, pledged = 0;
        double trade_cash = 0, income_cash = 0;
        bool held = false;       // still a position
        std::int32_t date = 0;   // the close these figures are of
        std::uint32_t bond = 0;  // its index in ids_
    };
    // A bond's terms of a day, carry to residual, and the book's, funding to cash.
    static constexpr std::size_t BOND_TERMS = 6, BOOK_TERMS = 3;
    static_assert(static_cast<std::size_t>(PnlTerm::FUNDING) == BOND_TERMS &&
                  BOND_TERMS + BOOK_TERMS == PNL_TERM_COUNT);
    struct BondDay {
        std::int32_t date;
        std::uint32_t bond;
        std::array<double, BOND_TERMS> terms;
    };
    struct BookDay {
        std::int32_t date;
        std::array<double, BOOK_TERMS> terms;
    };
    // Per unit but the quantities; duration and DV01 in single precision, which holds them to
    // far better than they are known.
    struct HoldingRow {
        std::int32_t date;
        std::uint32_t bond;
        double quantity, clean, dirty, accrued, pledged;
        float duration, dv01;
    };

    std::uint32_t bond_index(const std::string& id);
    Today& touch(const std::string& id, std::int32_t date);
    // Splits one bond's day into its terms; returns its state at the close.
    Held attribute(korvex::Environment& env, std::int32_t date, const std::string& id,
                   const Held& before, const Today& today);

    std::vector<std::string> ids_;
    std::unordered_map<std::string, std::uint32_t> index_;
    std::unordered_map<std::string, Held> held_;  // at the previous close
    std::unordered_map<std::string, Today> today_;
    std::vector<std::pair<const std::string, Today>*> touched_;  // today's entries of today_
    std::vector<std::size_t> journal_read_;  // entries read, by account in portfolio order
    double repo_equity_ = 0, other_equity_ = 0;
    Terms day_{}, run_{};
    Risk risk_;
    std::vector<BookDay> book_days_;
    std::vector<BondDay> bond_days_;  // by day, in the order of book_days_
    std::vector<HoldingRow> holdings_;
    std::vector<std::pair<double, double>> key_rate_weights_;  // years, weight; reused
};

}  // namespace korvex_mod_bond
