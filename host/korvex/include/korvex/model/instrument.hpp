// An instrument: one record of named fields from the market-data client, served as attributes,
// plus derived attributes that subclasses (bonds, repos, ...) compute.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/value.hpp"

namespace korvex {

class Instrument {
public:
    explicit Instrument(Record record);
    virtual ~Instrument() = default;

    // Stored field by name; AttributeError naming the field and the instrument when absent.
    const Value& attr(std::string_view name) const;
    bool has_attr(std::string_view name) const { return record_.contains(name); }
    const Record& record() const { return record_; }

    const std::string& order_book_id() const;
    virtual std::string symbol() const;
    virtual INSTRUMENT_TYPE type() const;  // from the stored "type" field
    virtual double round_lot() const;      // stored "round_lot", else 1
    virtual std::string exchange() const;
    virtual DEFAULT_ACCOUNT_TYPE account_type() const;  // stored, else STOCK
    DateTime listed_date() const;
    DateTime de_listed_date() const;

    // Cash an order or position of `quantity` at `price` occupies.
    virtual double calc_cash_occupation(double price, double quantity,
                                        POSITION_DIRECTION direction) const;
    // True when dt is at or after the de-listing date.
    virtual bool de_listed_at(DateTime dt) const;
    bool listed_at(DateTime dt) const;

protected:
    Record record_;
    std::string order_book_id_;
};

using InstrumentPtr = std::shared_ptr<const Instrument>;

}  // namespace korvex
