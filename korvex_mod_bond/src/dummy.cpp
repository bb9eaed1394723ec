#include "korvex_mod_bond/dummy.hpp"

#include "korvex/errors.hpp"

namespace korvex_mod_bond::dummy {

std::exception_ptr PERMISSION_ERROR;

namespace {

std::exception_ptr kept_error(const char* store) {
    if (!PERMISSION_ERROR)
        throw korvex::RuntimeError(std::string(store) +
                                   " needs dummy::PERMISSION_ERROR: no refusal has been recorded");
    return PERMISSION_ERROR;
}

}  // namespace

DummyDayBarStore::DummyDayBarStore() : _error(kept_error("DummyDayBarStore")) {}

korvex::Bars DummyDayBarStore::get_bars(const std::string&) {
    std::rethrow_exception(_error);
}

DummyInstrumentStore::DummyInstrumentStore() : _error(kept_error("DummyInstrumentStore")) {}

korvex::INSTRUMENT_TYPE DummyInstrumentStore::instrument_type() const {
    std::rethrow_exception(_error);
}

korvex::InstrumentSequence DummyInstrumentStore::get_instruments(
    std::optional<std::vector<std::string>>) const {
    return korvex::InstrumentSequence(
        [error = _error]() -> korvex::InstrumentSequence::Next { std::rethrow_exception(error); });
}

DummyInterBankCalendarStore::DummyInterBankCalendarStore()
    : _error(kept_error("DummyInterBankCalendarStore")) {}

std::vector<korvex::DateTime> DummyInterBankCalendarStore::get_trading_calendar() {
    std::rethrow_exception(_error);
}

}  // namespace korvex_mod_bond::dummy
