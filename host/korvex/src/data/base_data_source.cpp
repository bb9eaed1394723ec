#include "korvex/data/base_data_source.hpp"

#include <fmt/format.h>

#include <fstream>

#include "korvex/errors.hpp"

namespace korvex {

namespace {
void flatten_into(const ConfigNode& table, const std::string& prefix,
                  std::map<std::string, Value>& out) {
    for (const auto& key : table.keys()) {
        const ConfigNode node = table[key];
        if (node.is_table())
            flatten_into(node, prefix + key + ".", out);
        else
            out[prefix + key] = node.as_value();
    }
}
}  // namespace

std::map<std::string, Value> future_info_of(const Config& config) {
    std::map<std::string, Value> out;
    if (auto node = config.find("base.future_info")) flatten_into(*node, "", out);
    return out;
}

BaseDataSource::BaseDataSource(std::filesystem::path bundle_path,
                               std::map<std::string, Value> future_info)
    : bundle_path_(std::move(bundle_path)), future_info_(std::move(future_info)) {}

void BaseDataSource::register_day_bar_store(INSTRUMENT_TYPE type,
                                            std::shared_ptr<AbstractDayBarStore> store) {
    day_bar_stores_[type] = std::move(store);
}

void BaseDataSource::register_instruments_store(std::shared_ptr<AbstractInstrumentStore> store) {
    instrument_stores_.push_back(std::move(store));
}

void BaseDataSource::register_calendar_store(TRADING_CALENDAR_TYPE type,
                                             std::shared_ptr<AbstractCalendarStore> store) {
    calendar_stores_[type] = std::move(store);
}

void BaseDataSource::register_minbar_store(INSTRUMENT_TYPE type,
                                           std::shared_ptr<AbstractMinBarStore> store) {
    minbar_stores_[type] = std::move(store);
}

AbstractDayBarStore* BaseDataSource::day_bar_store(INSTRUMENT_TYPE type) const {
    auto it = day_bar_stores_.find(type);
    return it == day_bar_stores_.end() ? nullptr : it->second.get();
}

void BaseDataSource::register_tick_store(std::shared_ptr<AbstractTickStore> store) {
    tick_store_ = std::move(store);
}

AbstractMinBarStore* BaseDataSource::minbar_store(INSTRUMENT_TYPE type) const {
    auto it = minbar_stores_.find(type);
    return it == minbar_stores_.end() ? nullptr : it->second.get();
}

AbstractCalendarStore* BaseDataSource::calendar_store(TRADING_CALENDAR_TYPE type) const {
    auto it = calendar_stores_.find(type);
    return it == calendar_stores_.end() ? nullptr : it->second.get();
}

bool BaseDataSource::has_calendar(TRADING_CALENDAR_TYPE type) const {
    return calendar_store(type) != nullptr ||
           (type == TRADING_CALENDAR_TYPE::EXCHANGE &&
            std::filesystem::exists(bundle_path_ / "trading_dates.txt"));
}

std::vector<Date> BaseDataSource::get_trading_calendar(TRADING_CALENDAR_TYPE type) const {
    if (auto* store = calendar_store(type)) {
        std::vector<Date> out;
        for (DateTime dt : store->get_trading_calendar()) out.push_back(to_date(dt));
        return out;
    }
    if (type == TRADING_CALENDAR_TYPE::EXCHANGE)
        return read_trading_dates_file(bundle_path_ / "trading_dates.txt");
    throw RuntimeError(fmt::format("no {} trading calendar is registered", name(type)));
}

std::string BaseDataSource::to_string() const {
    return fmt::format("BaseDataSource({})", bundle_path_.string());
}

std::vector<Date> read_trading_dates_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in)
        throw RuntimeError(fmt::format(
            "cannot read the trading calendar {} (generate the data bundle first)", path.string()));
    std::vector<Date> dates;
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Date d;
        try {
            d = parse_date(line);
        } catch (const ValueError& e) {
            throw ValueError(fmt::format("{} line {}: {}", path.string(), line_no, e.what()));
        }
        if (!dates.empty() && d <= dates.back())
            throw ValueError(fmt::format("{} line {}: date {} is not after {}", path.string(),
                                         line_no, format_date(d), format_date(dates.back())));
        dates.push_back(d);
    }
    return dates;
}

}  // namespace korvex
