#include "korvex_mod_bond/data/repo_day_bar_store.hpp"

#include <array>
#include <limits>

#include "korvex_mod_bond/data/instrument.hpp"
#include "table_conversion.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

const korvex::RecordLayout RepoDayBarStore::DTYPE{
    {"datetime", "<u8"}, {"open", "<f8"},   {"close", "<f8"},          {"high", "<f8"},
    {"low", "<f8"},      {"volume", "<f8"}, {"total_turnover", "<f8"}, {"weighted", "<f8"}};

tavlen::TablePtr RepoDayBarStore::_get_data(const std::string& order_book_id) const {
    return tavlen::bond::currency_market_quotation(order_book_id,
                                                   {.start_date = std::string(DATA_START_DATE_TEXT),
                                                    .end_date = std::string(DATA_END_DATE_TEXT)});
}

korvex::Bars RepoDayBarStore::get_bars(const std::string& order_book_id) {
    return _cache.get_or_compute(order_book_id,
                                 [&] { return korvex::Bars::of(_convert(order_book_id), DTYPE); });
}

std::shared_ptr<const std::vector<RepoBar>> RepoDayBarStore::_convert(
    const std::string& order_book_id) const {
    auto bars = std::make_shared<std::vector<RepoBar>>();
    const tavlen::TablePtr table = _get_data(order_book_id);
    if (!table || table->empty()) return bars;
    detail::check_one_row_per_date(*table, order_book_id);

    std::array<double RepoBar::*, std::size(COLUMNS)> fields{};
    std::array<const std::vector<double>*, std::size(COLUMNS)> columns{};
    for (std::size_t k = 0; k < columns.size(); ++k) {
        fields[k] = COLUMNS[k].member;
        columns[k] = &detail::require_column(*table, COLUMNS[k].name, order_book_id);
    }
    *bars = detail::to_records<RepoBar>(*table, RepoBar{}, fields, columns);
    // The client reports a day without trades as volume 0. The table is the client's and
    // shared, so the replacement happens in the copy.
    for (RepoBar& bar : *bars)
        if (bar.volume == 0.0) bar.volume = std::numeric_limits<double>::quiet_NaN();
    return bars;
}

}  // namespace korvex_mod_bond
