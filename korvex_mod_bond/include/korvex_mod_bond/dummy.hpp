// Placeholder stores, put in place of the real ones when the market-data client refuses access
// while the mod builds its stores. The run goes on, but the refusal is not swallowed: each
// placeholder keeps the client's error and raises it again whenever it is asked for data, so the
// first request that needs bond or repo data tells the strategy why there is none.
//
// What answers and what raises:
//   DummyInstrumentStore   all_id_and_syms() is empty (it is a listing, not a request);
//                          instrument_type() and the first element of get_instruments() raise.
//                          Since the host indexes every store at its first instrument lookup,
//                          that lookup raises the refusal.
//   DummyDayBarStore       get_bars() raises.
//   DummyInterBankCalendarStore  get_trading_calendar() raises.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "korvex/interface.hpp"

namespace korvex_mod_bond::dummy {

// The client's refusal, set by the mod before it builds the placeholders.
extern std::exception_ptr PERMISSION_ERROR;

// Each placeholder keeps the PERMISSION_ERROR of the moment it is built; building one while
// PERMISSION_ERROR is unset raises RuntimeError (it would have nothing to tell).
class DummyDayBarStore : public korvex::AbstractDayBarStore {
public:
    DummyDayBarStore();
    korvex::Bars get_bars(const std::string& order_book_id) override;

private:
    std::exception_ptr _error;
};

class DummyInstrumentStore : public korvex::AbstractInstrumentStore {
public:
    DummyInstrumentStore();
    korvex::INSTRUMENT_TYPE instrument_type() const override;
    const std::vector<std::string>& all_id_and_syms() const override { return _no_ids; }
    korvex::InstrumentSequence get_instruments(
        std::optional<std::vector<std::string>> id_or_syms) const override;

private:
    std::exception_ptr _error;
    std::vector<std::string> _no_ids;
};

class DummyInterBankCalendarStore : public korvex::AbstractCalendarStore {
public:
    DummyInterBankCalendarStore();
    std::vector<korvex::DateTime> get_trading_calendar() override;

private:
    std::exception_ptr _error;
};

}  // namespace korvex_mod_bond::dummy
