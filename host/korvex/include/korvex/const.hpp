// Constants shared by the host and its mods. Each enumeration has name() giving the member's
// name ("BOND") and a parse that raises ValueError for an unknown name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

enum class INSTRUMENT_TYPE { CS, ETF, FUTURE, CONVERTIBLE, BOND, REPO };
enum class SIDE { BUY, SELL, FINANCING, MARGIN };
enum class POSITION_DIRECTION { LONG, SHORT };
enum class POSITION_EFFECT { OPEN, CLOSE, CLOSE_TODAY };
enum class DEFAULT_ACCOUNT_TYPE { STOCK, FUTURE, BOND };
enum class TRADING_CALENDAR_TYPE { EXCHANGE, INTER_BANK };
enum class RUN_TYPE { BACKTEST, PAPER_TRADING, LIVE_TRADING };
enum class ORDER_STATUS { PENDING_NEW, ACTIVE, FILLED, REJECTED, CANCELLED };
enum class ORDER_TYPE { MARKET, LIMIT };

std::string_view name(INSTRUMENT_TYPE v);
std::string_view name(SIDE v);
std::string_view name(POSITION_DIRECTION v);
std::string_view name(POSITION_EFFECT v);
std::string_view name(DEFAULT_ACCOUNT_TYPE v);
std::string_view name(TRADING_CALENDAR_TYPE v);
std::string_view name(RUN_TYPE v);
std::string_view name(ORDER_STATUS v);
std::string_view name(ORDER_TYPE v);

template <class E>
E parse_enum(std::string_view text);
template <class E>
std::optional<E> try_parse_enum(std::string_view text);
// Every value of the enumeration, in declaration order (for bindings and listings).
template <class E>
std::vector<E> enum_values();

// Name of an instrument type as the minute-bar layouts are keyed ("Bond" for BOND).
std::string_view layout_key(INSTRUMENT_TYPE v);

inline int direction_factor(POSITION_DIRECTION d) {
    return d == POSITION_DIRECTION::LONG ? 1 : -1;
}

}  // namespace korvex
