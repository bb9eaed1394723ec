// Quote snapshots of tick runs. A store keeps a day's snapshots of one instrument as contiguous
// TickRecord rows laid out by tick_layout() (the same Bars view as bars); the loop hands each
// snapshot to the strategy and the broker as a TickObject.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "korvex/bars.hpp"
#include "korvex/datetime_func.hpp"

namespace korvex {

// Quoted levels on each side, best first.
inline constexpr std::size_t TICK_DEPTH = 5;

// One snapshot as stored. Prices are dirty prices like the bars'; sizes are units. A level
// with size 0 is empty (its price is not looked at). volume and total_turnover add up over the
// day.
struct TickRecord {
    std::int64_t datetime;  // YYYYMMDDHHMMSS
    double last;
    double volume;
    double total_turnover;
    std::array<double, TICK_DEPTH> asks, ask_vols, bids, bid_vols;
};

// datetime <i8, last, volume, total_turnover, a1..a5, a1_v..a5_v, b1..b5, b1_v..b5_v (<f8),
// the packed layout of TickRecord.
const RecordLayout& tick_layout();

class TickObject {
public:
    TickObject() = default;
    TickObject(const std::string* order_book_id, const TickRecord& record)
        : id_(order_book_id), record_(record) {}
    // Keeps the id, replaces the snapshot.
    void set_record(const TickRecord& record) { record_ = record; }

    // No snapshot: a default object, or a slot emptied for a new day (stamp 0).
    bool empty() const { return id_ == nullptr || record_.datetime == 0; }
    const std::string& order_book_id() const { return *id_; }
    DateTime datetime() const { return datetime_from_int(record_.datetime); }
    std::int64_t stamp() const { return record_.datetime; }
    double last() const { return record_.last; }
    double volume() const { return record_.volume; }
    double total_turnover() const { return record_.total_turnover; }
    std::span<const double, TICK_DEPTH> asks() const { return record_.asks; }
    std::span<const double, TICK_DEPTH> ask_vols() const { return record_.ask_vols; }
    std::span<const double, TICK_DEPTH> bids() const { return record_.bids; }
    std::span<const double, TICK_DEPTH> bid_vols() const { return record_.bid_vols; }
    const TickRecord& record() const { return record_; }

private:
    const std::string* id_ = nullptr;
    TickRecord record_{};
};

}  // namespace korvex
