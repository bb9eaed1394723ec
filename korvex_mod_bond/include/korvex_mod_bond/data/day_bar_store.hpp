// Daily bars of bonds under three valuation sources: Chinabond valuations, exchange (CFETS)
// prices, or per bond the one that fits its market. Each store turns the client's day table of
// one bond into a contiguous array of BondBar and keeps the most recently used arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/functools.hpp"
#include "korvex/interface.hpp"
#include "tavlen/table.hpp"

namespace korvex_mod_bond {

// One day of one bond. Prices are dirty unless named clean; fields no source fills are NaN.
struct BondBar {
    std::uint64_t datetime;  // convert_date_to_int of the day
    double open;
    double close;
    double high;
    double low;
    double volume;
    double total_turnover;
    double dv01;
    double ytm;
    double clean_price;
    double modified_duration;
    double convexity;
    double t;
    double principal;
};
static_assert(sizeof(BondBar) == 14 * 8);

// Which client column fills which bar field.
struct BondFieldMapEntry {
    std::string_view field;
    std::string_view column;
    double BondBar::*member;
};
using BondFieldMap = std::span<const BondFieldMapEntry>;

class BondDayBarStore : public korvex::AbstractDayBarStore {
public:
    static const korvex::RecordLayout DTYPE;
    static constexpr std::size_t CACHE_SIZE = 2048;

    // The field map that applies to this bond's table.
    virtual BondFieldMap _get_field_map(const std::string& order_book_id) const = 0;
    // The client's day table of this bond; null when it has none.
    virtual tavlen::TablePtr _get_data(const std::string& order_book_id) const = 0;

    // The whole history of one bond, one record per row of its table. Served from the cache
    // after the first call: repeated calls share one array. A table whose dates repeat or
    // descend raises ValueError naming the bond; a missing column raises KeyError naming the
    // column and the bond. Neither leaves anything in the cache.
    korvex::Bars get_bars(const std::string& order_book_id) override;

private:
    std::shared_ptr<const std::vector<BondBar>> _convert(const std::string& order_book_id) const;

    korvex::LruCache<std::string, korvex::Bars> _cache{CACHE_SIZE};
};

// Chinabond recommended valuations, for every bond: a day's four prices are all the end-of-day
// dirty valuation; no volume.
class ChinabondBondDayBarStore : public virtual BondDayBarStore {
public:
    static constexpr BondFieldMapEntry FIELD_MAP[] = {
        {"open", "dirty_price_eod", &BondBar::open},
        {"close", "dirty_price_eod", &BondBar::close},
        {"high", "dirty_price_eod", &BondBar::high},
        {"low", "dirty_price_eod", &BondBar::low},
        {"dv01", "dv01", &BondBar::dv01},
        {"ytm", "ytm", &BondBar::ytm},
        {"clean_price", "clean_price", &BondBar::clean_price},
        {"modified_duration", "modified_duration", &BondBar::modified_duration},
        {"convexity", "convexity", &BondBar::convexity},
        {"t", "time_to_maturity", &BondBar::t},
        {"principal", "residual_principal", &BondBar::principal},
    };

    BondFieldMap _get_field_map(const std::string& order_book_id) const override;
    tavlen::TablePtr _get_data(const std::string& order_book_id) const override;
};

// CFETS prices, for every bond. Inter-bank bonds have only an end-of-day price and no volume;
// exchange bonds have the full day.
class ExchangeBondDayBarStore : public virtual BondDayBarStore {
public:
    static constexpr BondFieldMapEntry IB_FIELD_MAP[] = {
        {"open", "dirty_price_eod", &BondBar::open},
        {"close", "dirty_price_eod", &BondBar::close},
        {"high", "dirty_price_eod", &BondBar::high},
        {"low", "dirty_price_eod", &BondBar::low},
        {"ytm", "ytm_close", &BondBar::ytm},
        {"clean_price", "clean_price_eod", &BondBar::clean_price},
    };
    static constexpr BondFieldMapEntry EXCHANGE_FIELD_MAP[] = {
        {"open", "dirty_price_open", &BondBar::open},
        {"close", "dirty_price_eod", &BondBar::close},
        {"high", "dirty_price_high", &BondBar::high},
        {"low", "dirty_price_low", &BondBar::low},
        {"ytm", "ytm_close", &BondBar::ytm},
        {"clean_price", "clean_price_eod", &BondBar::clean_price},
        {"volume", "volume", &BondBar::volume},
    };

    BondFieldMap _get_field_map(const std::string& order_book_id) const override;
    tavlen::TablePtr _get_data(const std::string& order_book_id) const override;
};

// Chinabond valuations for inter-bank bonds (".IB"), exchange prices for all others. Both kinds
// share this store's one cache.
class AutoBondDayBarStore : public ChinabondBondDayBarStore, public ExchangeBondDayBarStore {
public:
    // typeid(ChinabondBondDayBarStore) or typeid(ExchangeBondDayBarStore): whose operations
    // serve this bond.
    const std::type_info& _get_super_cls(const std::string& order_book_id) const;

    BondFieldMap _get_field_map(const std::string& order_book_id) const override;
    tavlen::TablePtr _get_data(const std::string& order_book_id) const override;
};

}  // namespace korvex_mod_bond
