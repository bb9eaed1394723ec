#include "korvex/portfolio/cash_journal.hpp"

#include <fmt/format.h>

#include <array>

#include "korvex/errors.hpp"

namespace korvex {

namespace {
constexpr std::array<std::string_view, CASH_CAUSE_COUNT> kNames{"bond bought",
                                                                "bond sold",
                                                                "bought",
                                                                "sold",
                                                                "commission",
                                                                "tax",
                                                                "coupon",
                                                                "principal",
                                                                "repo borrowed",
                                                                "repo repaid",
                                                                "repo lent",
                                                                "repo returned",
                                                                "repo commission",
                                                                "overdraft interest",
                                                                "other"};
}  // namespace

std::string_view name(CASH_CAUSE cause) {
    return kNames[static_cast<std::size_t>(cause)];
}

void CashParts::note(CASH_CAUSE cause, double amount, const std::string& order_book_id) {
    if (count_ == parts_.size())
        throw RuntimeError(fmt::format("position {} noted more than {} cash parts in one call",
                                       order_book_id, parts_.size()));
    parts_[count_++] = {cause, amount};
}

void CashJournal::reset(double opening) {
    opening_ = opening;
    entries_.clear();
    checked_sum_ = opening;
    checked_ = 0;
}

double CashJournal::balance() {
    for (; checked_ < entries_.size(); ++checked_) checked_sum_ += entries_[checked_].amount;
    return checked_sum_;
}

double CashJournal::total(CASH_CAUSE cause) const {
    double sum = 0;
    for (const CashEntry& e : entries_)
        if (e.cause == cause) sum += e.amount;
    return sum;
}

}  // namespace korvex
