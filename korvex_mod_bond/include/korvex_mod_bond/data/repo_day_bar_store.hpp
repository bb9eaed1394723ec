// Daily bars of repos, from the client's money-market quotations of one repo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/functools.hpp"
#include "korvex/interface.hpp"
#include "tavlen/table.hpp"

namespace korvex_mod_bond {

// One day of one repo. A day without trades has volume NaN, not 0.
struct RepoBar {
    std::uint64_t datetime;  // convert_date_to_int of the day
    double open;
    double close;
    double high;
    double low;
    double volume;
    double total_turnover;
    double weighted;
};
static_assert(sizeof(RepoBar) == 8 * 8);

class RepoDayBarStore : public korvex::AbstractDayBarStore {
public:
    static const korvex::RecordLayout DTYPE;
    static constexpr std::size_t CACHE_SIZE = 2048;

    struct Column {
        std::string_view name;
        double RepoBar::*member;
    };
    // Every bar field but datetime comes from the client's column of the same name.
    static constexpr Column COLUMNS[] = {
        {"open", &RepoBar::open},         {"close", &RepoBar::close},
        {"high", &RepoBar::high},         {"low", &RepoBar::low},
        {"volume", &RepoBar::volume},     {"total_turnover", &RepoBar::total_turnover},
        {"weighted", &RepoBar::weighted},
    };

    // The client's quotation table of this repo; null when it has none.
    tavlen::TablePtr _get_data(const std::string& order_book_id) const;
    // The whole history of one repo, cached per id like the bond stores; the same errors for a
    // table whose dates repeat or descend, or that lacks one of the seven columns.
    korvex::Bars get_bars(const std::string& order_book_id) override;

private:
    std::shared_ptr<const std::vector<RepoBar>> _convert(const std::string& order_book_id) const;

    korvex::LruCache<std::string, korvex::Bars> _cache{CACHE_SIZE};
};

}  // namespace korvex_mod_bond
