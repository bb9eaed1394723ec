// The cash journal of an account: every change of its cash, one entry each, with its cause.
// The account's cash moves only by posting here, so the opening balance plus the entries, added
// in posting order, is the cash to the last bit. Reserving cash for an open order is not a
// movement of cash and has no entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/datetime_func.hpp"

namespace korvex {

enum class CASH_CAUSE {
    BOND_BOUGHT,
    BOND_SOLD,
    BOUGHT,  // instruments other than bonds and repos
    SOLD,
    COMMISSION,
    TAX,
    COUPON,
    PRINCIPAL,
    REPO_BORROWED,
    REPO_REPAID,
    REPO_LENT,
    REPO_RETURNED,
    REPO_COMMISSION,
    OVERDRAFT_INTEREST,
    OTHER,
};
inline constexpr std::size_t CASH_CAUSE_COUNT = static_cast<std::size_t>(CASH_CAUSE::OTHER) + 1;

// "bond bought", "repo commission", ...: the names written in cash_flows.csv.
std::string_view name(CASH_CAUSE cause);

struct CashEntry {
    DateTime datetime;
    CASH_CAUSE cause;
    std::string order_book_id;
    std::int64_t order_id = 0;  // 0: none
    std::int64_t trade_id = 0;  // 0: none
    double amount = 0;          // positive: cash comes in
};

// What one operation of a position moved, part by part; the parts add up to the cash change
// the operation returns.
struct CashPart {
    CASH_CAUSE cause;
    double amount;
};

// The parts of one position call's cash change: noted by the position, read and journaled by its
// account after the call. One per run (calls come one at a time); positions point to it.
class CashParts {
public:
    void clear() { count_ = 0; }
    // RuntimeError naming the position when a call notes more parts than are kept.
    void note(CASH_CAUSE cause, double amount, const std::string& order_book_id);
    std::span<const CashPart> parts() const { return {parts_.data(), count_}; }

private:
    std::array<CashPart, 4> parts_{};
    std::size_t count_ = 0;
};

class CashJournal {
public:
    explicit CashJournal(double opening = 0) : opening_(opening), checked_sum_(opening) {}

    double opening() const { return opening_; }
    const std::vector<CashEntry>& entries() const { return entries_; }
    void post(CashEntry entry) { entries_.push_back(std::move(entry)); }
    // Starts again from `opening` with no entries (a restored account).
    void reset(double opening);

    // The opening balance plus every entry, added in posting order. Each entry is added once:
    // a day's check costs only that day's entries.
    double balance();
    // Sum of the entries of one cause.
    double total(CASH_CAUSE cause) const;

private:
    double opening_;
    std::vector<CashEntry> entries_;
    double checked_sum_;
    std::size_t checked_ = 0;
};

}  // namespace korvex
