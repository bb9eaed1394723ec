// Bond and repo instruments, the standard inter-bank repo terms, and the dates every bond data
// store shares: the window asked of the client and the listing dates of undated instruments.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvex/model/instrument.hpp"

namespace korvex_mod_bond {

// Everything is asked of the client over this window.
inline constexpr std::int32_t DATA_START_DATE = 20050104;
inline constexpr std::int32_t DATA_END_DATE = 29991231;
inline constexpr std::string_view DATA_START_DATE_TEXT = "20050104";
inline constexpr std::string_view DATA_END_DATE_TEXT = "29991231";
// Listing dates of a bond whose record has none, and of every repo.
inline constexpr korvex::DateTime DEFAULT_LISTED_DATE{
    std::chrono::sys_days{std::chrono::year{1999} / 1 / 1}};
inline constexpr korvex::DateTime DEFAULT_DE_LISTED_DATE{
    std::chrono::sys_days{std::chrono::year{2999} / 12 / 31}};

// Exchange bonds and inter-bank bonds. Exchange bonds (".SH", ".SZ") are held in the stock
// account, everything else in the bond account.
class BondInstrument : public korvex::Instrument {
public:
    using korvex::Instrument::Instrument;

    korvex::INSTRUMENT_TYPE type() const override { return korvex::INSTRUMENT_TYPE::BOND; }
    // Stored round_lot, else 100 for inter-bank bonds and 10 for exchange bonds. A stored
    // round_lot that is empty has no number to give: ValueError naming the bond.
    double round_lot() const override;
    // Stored issue_price (present but empty stays empty), else 100.
    std::optional<double> issue_price() const;
    // Required: KeyError naming the field when the record lacks it.
    const korvex::Value& initial_issue_size() const;
    // Required: KeyError naming the field when absent; a present but empty one gives "".
    std::string exchange() const override;
    // STOCK for ".SZ" and ".SH" ids, BOND otherwise, whatever the record says.
    korvex::DEFAULT_ACCOUNT_TYPE account_type() const override;

    // price * quantity, whatever the direction.
    double calc_cash_occupation(double price, double quantity,
                                korvex::POSITION_DIRECTION direction) const override;
    bool de_listed_at(korvex::DateTime dt) const override;
};

// Exchange repos and the standard inter-bank repos. Its stored fields are all optional; the
// repo instrument store sets exchange and account_type from the id's suffix.
class RepoInstrument : public korvex::Instrument {
public:
    using korvex::Instrument::Instrument;

    korvex::INSTRUMENT_TYPE type() const override { return korvex::INSTRUMENT_TYPE::REPO; }
    // The repo's symbol is its id.
    std::string symbol() const override;
    // Stored repo_period in days, or none.
    std::optional<std::int64_t> repo_period() const;
    // Stored exchange, "" when absent or empty.
    std::string exchange() const override;
    // Stored account_type (a type name such as "BOND"); absent or empty, the market's by the
    // id's suffix: STOCK for ".SH" and ".SZ", BOND otherwise.
    korvex::DEFAULT_ACCOUNT_TYPE account_type() const override;
    // 100000 for Shenzhen, 1000 for Shanghai, 10 otherwise; a stored round_lot is ignored.
    double round_lot() const override;

    double calc_cash_occupation(double price, double quantity,
                                korvex::POSITION_DIRECTION direction) const override;
    bool de_listed_at(korvex::DateTime dt) const override;
};

struct RepoTermRange {
    std::string_view order_book_id;
    int first_day;
    int last_day;
};

// Standard inter-bank repos and the terms in days each covers, in this order. Also the list of
// the inter-bank repos the repo instrument store serves.
inline constexpr std::array<RepoTermRange, 6> REPO_TERM_MAP{{{"R001.IB", 1, 1},
                                                             {"R007.IB", 2, 7},
                                                             {"R014.IB", 8, 14},
                                                             {"R021.IB", 15, 21},
                                                             {"R1M.IB", 22, 30},
                                                             {"R3M.IB", 31, 90}}};

// Index = term in days (1..90) -> the standard repo covering it; index 0 is empty. Built once
// from REPO_TERM_MAP, the first row covering a day winning.
const std::array<std::string_view, 91>& TERM_REPO_MAP();

// The standard inter-bank repo for a term in days; none outside 1..90.
std::optional<std::string> get_repo_order_book_id(std::int64_t n);

// Suffix rules test how the whole id ends, never a parse.
inline bool ends_with(std::string_view s, std::string_view suffix) {
    return s.ends_with(suffix);
}

}  // namespace korvex_mod_bond
