#include "korvex/const.hpp"

#include <fmt/format.h>

#include <array>
#include <utility>
#include <vector>

#include "korvex/errors.hpp"

namespace korvex {

namespace {
template <class E, std::size_t N>
using Names = std::array<std::pair<E, std::string_view>, N>;

constexpr Names<INSTRUMENT_TYPE, 6> kInstrumentTypes{{{INSTRUMENT_TYPE::CS, "CS"},
                                                      {INSTRUMENT_TYPE::ETF, "ETF"},
                                                      {INSTRUMENT_TYPE::FUTURE, "FUTURE"},
                                                      {INSTRUMENT_TYPE::CONVERTIBLE, "CONVERTIBLE"},
                                                      {INSTRUMENT_TYPE::BOND, "BOND"},
                                                      {INSTRUMENT_TYPE::REPO, "REPO"}}};
constexpr Names<SIDE, 4> kSides{{{SIDE::BUY, "BUY"},
                                 {SIDE::SELL, "SELL"},
                                 {SIDE::FINANCING, "FINANCING"},
                                 {SIDE::MARGIN, "MARGIN"}}};
constexpr Names<POSITION_DIRECTION, 2> kDirections{
    {{POSITION_DIRECTION::LONG, "LONG"}, {POSITION_DIRECTION::SHORT, "SHORT"}}};
constexpr Names<POSITION_EFFECT, 3> kEffects{{{POSITION_EFFECT::OPEN, "OPEN"},
                                              {POSITION_EFFECT::CLOSE, "CLOSE"},
                                              {POSITION_EFFECT::CLOSE_TODAY, "CLOSE_TODAY"}}};
constexpr Names<DEFAULT_ACCOUNT_TYPE, 3> kAccounts{{{DEFAULT_ACCOUNT_TYPE::STOCK, "STOCK"},
                                                    {DEFAULT_ACCOUNT_TYPE::FUTURE, "FUTURE"},
                                                    {DEFAULT_ACCOUNT_TYPE::BOND, "BOND"}}};
constexpr Names<TRADING_CALENDAR_TYPE, 2> kCalendars{
    {{TRADING_CALENDAR_TYPE::EXCHANGE, "EXCHANGE"},
     {TRADING_CALENDAR_TYPE::INTER_BANK, "INTER_BANK"}}};
constexpr Names<RUN_TYPE, 3> kRunTypes{{{RUN_TYPE::BACKTEST, "BACKTEST"},
                                        {RUN_TYPE::PAPER_TRADING, "PAPER_TRADING"},
                                        {RUN_TYPE::LIVE_TRADING, "LIVE_TRADING"}}};
constexpr Names<ORDER_STATUS, 5> kStatuses{{{ORDER_STATUS::PENDING_NEW, "PENDING_NEW"},
                                            {ORDER_STATUS::ACTIVE, "ACTIVE"},
                                            {ORDER_STATUS::FILLED, "FILLED"},
                                            {ORDER_STATUS::REJECTED, "REJECTED"},
                                            {ORDER_STATUS::CANCELLED, "CANCELLED"}}};
constexpr Names<ORDER_TYPE, 2> kOrderTypes{
    {{ORDER_TYPE::MARKET, "MARKET"}, {ORDER_TYPE::LIMIT, "LIMIT"}}};

template <class E, std::size_t N>
std::string_view lookup(const Names<E, N>& names, E v) {
    for (auto& [e, n] : names)
        if (e == v) return n;
    return "?";
}

template <class E, std::size_t N>
std::optional<E> reverse(const Names<E, N>& names, std::string_view text) {
    for (auto& [e, n] : names)
        if (n == text) return e;
    return std::nullopt;
}

template <class E>
constexpr auto& table_of() {
    if constexpr (std::is_same_v<E, INSTRUMENT_TYPE>)
        return kInstrumentTypes;
    else if constexpr (std::is_same_v<E, SIDE>)
        return kSides;
    else if constexpr (std::is_same_v<E, POSITION_DIRECTION>)
        return kDirections;
    else if constexpr (std::is_same_v<E, POSITION_EFFECT>)
        return kEffects;
    else if constexpr (std::is_same_v<E, DEFAULT_ACCOUNT_TYPE>)
        return kAccounts;
    else if constexpr (std::is_same_v<E, TRADING_CALENDAR_TYPE>)
        return kCalendars;
    else if constexpr (std::is_same_v<E, RUN_TYPE>)
        return kRunTypes;
    else if constexpr (std::is_same_v<E, ORDER_STATUS>)
        return kStatuses;
    else
        return kOrderTypes;
}

template <class E>
constexpr std::string_view enum_title() {
    if constexpr (std::is_same_v<E, INSTRUMENT_TYPE>)
        return "instrument type";
    else if constexpr (std::is_same_v<E, SIDE>)
        return "side";
    else if constexpr (std::is_same_v<E, POSITION_DIRECTION>)
        return "position direction";
    else if constexpr (std::is_same_v<E, POSITION_EFFECT>)
        return "position effect";
    else if constexpr (std::is_same_v<E, DEFAULT_ACCOUNT_TYPE>)
        return "account type";
    else if constexpr (std::is_same_v<E, TRADING_CALENDAR_TYPE>)
        return "calendar type";
    else if constexpr (std::is_same_v<E, RUN_TYPE>)
        return "run type";
    else if constexpr (std::is_same_v<E, ORDER_STATUS>)
        return "order status";
    else
        return "order type";
}
}  // namespace

std::string_view name(INSTRUMENT_TYPE v) {
    return lookup(kInstrumentTypes, v);
}
std::string_view name(SIDE v) {
    return lookup(kSides, v);
}
std::string_view name(POSITION_DIRECTION v) {
    return lookup(kDirections, v);
}
std::string_view name(POSITION_EFFECT v) {
    return lookup(kEffects, v);
}
std::string_view name(DEFAULT_ACCOUNT_TYPE v) {
    return lookup(kAccounts, v);
}
std::string_view name(TRADING_CALENDAR_TYPE v) {
    return lookup(kCalendars, v);
}
std::string_view name(RUN_TYPE v) {
    return lookup(kRunTypes, v);
}
std::string_view name(ORDER_STATUS v) {
    return lookup(kStatuses, v);
}
std::string_view name(ORDER_TYPE v) {
    return lookup(kOrderTypes, v);
}

template <class E>
std::optional<E> try_parse_enum(std::string_view text) {
    return reverse(table_of<E>(), text);
}

template <class E>
E parse_enum(std::string_view text) {
    if (auto v = try_parse_enum<E>(text)) return *v;
    std::string known;
    for (auto& [e, n] : table_of<E>()) known += (known.empty() ? "" : ", ") + std::string(n);
    throw ValueError(fmt::format("unknown {} '{}' (known: {})", enum_title<E>(), text, known));
}

template <class E>
std::vector<E> enum_values() {
    std::vector<E> out;
    for (auto& [e, n] : table_of<E>()) out.push_back(e);
    return out;
}

#define KORVEX_ENUM_PARSE(E)                                       \
    template std::optional<E> try_parse_enum<E>(std::string_view); \
    template E parse_enum<E>(std::string_view);                    \
    template std::vector<E> enum_values<E>();
KORVEX_ENUM_PARSE(INSTRUMENT_TYPE)
KORVEX_ENUM_PARSE(SIDE)
KORVEX_ENUM_PARSE(POSITION_DIRECTION)
KORVEX_ENUM_PARSE(POSITION_EFFECT)
KORVEX_ENUM_PARSE(DEFAULT_ACCOUNT_TYPE)
KORVEX_ENUM_PARSE(TRADING_CALENDAR_TYPE)
KORVEX_ENUM_PARSE(RUN_TYPE)
KORVEX_ENUM_PARSE(ORDER_STATUS)
KORVEX_ENUM_PARSE(ORDER_TYPE)
#undef KORVEX_ENUM_PARSE

std::string_view layout_key(INSTRUMENT_TYPE v) {
    switch (v) {
        case INSTRUMENT_TYPE::CS:
            return "CS";
        case INSTRUMENT_TYPE::ETF:
            return "ETF";
        case INSTRUMENT_TYPE::FUTURE:
            return "Future";
        case INSTRUMENT_TYPE::CONVERTIBLE:
            return "Convertible";
        case INSTRUMENT_TYPE::BOND:
            return "Bond";
        case INSTRUMENT_TYPE::REPO:
            return "Repo";
    }
    return "?";
}

}  // namespace korvex
