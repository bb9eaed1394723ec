// Restoring an account from arbitrary saved-state text. Bad input must end in a korvex error
// naming what was wrong, with the account left as it was; a crash or another exception is a
// finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "korvex/errors.hpp"
#include "korvex/portfolio/account.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvex::State state = korvex::State::parse(data, data + size, nullptr, false);
    if (state.is_discarded()) return 0;  // not JSON: the loader refuses it before any account
    korvex::Account account(korvex::DEFAULT_ACCOUNT_TYPE::STOCK, 1000.0, nullptr);
    const korvex::State before = account.get_state();
    try {
        account.set_state(state);
    } catch (const korvex::Error&) {
        if (account.get_state() != before) std::abort();  // a failed restore changed the account
    }
    return 0;
}
