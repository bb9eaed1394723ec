// Instrument stores for bonds and repos. Each fixes its list of ids when it is built (one client
// call) and builds instruments lazily: the client's records are asked for only when the first
// instrument is, and each record is copied and completed before it becomes an instrument.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvex/interface.hpp"

namespace korvex_mod_bond {

// Every bond of the inter-bank market and the two exchanges (ids ending ".IB", ".SH", ".SZ").
class BondInstrumentStore : public korvex::AbstractInstrumentStore {
public:
    BondInstrumentStore();

    korvex::INSTRUMENT_TYPE instrument_type() const override;
    const std::vector<std::string>& all_id_and_syms() const override { return _obids; }
    // nullopt: every id of the store; otherwise the ids as given, passed to the client
    // unfiltered. A record lacking listed_date or de_listed_date stops the sequence with a
    // KeyError at that record; empty ones become 1999-01-01 and 2999-12-31.
    korvex::InstrumentSequence get_instruments(
        std::optional<std::vector<std::string>> id_or_syms) const override;

private:
    std::vector<std::string> _obids;
};

// Exchange repos (".SH", ".SZ") and the six standard inter-bank repos of REPO_TERM_MAP.
class RepoInstrumentStore : public korvex::AbstractInstrumentStore {
public:
    // Market suffix (the part after the id's point) -> exchange code and account type name.
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> EXCHANGE_MAP{
        {{"IB", "NIB"}, {"SZ", "XSHE"}, {"SH", "XSHG"}}};
    static constexpr std::array<std::pair<std::string_view, korvex::DEFAULT_ACCOUNT_TYPE>, 3>
        ACCOUNT_TYPE{{{"IB", korvex::DEFAULT_ACCOUNT_TYPE::BOND},
                      {"SZ", korvex::DEFAULT_ACCOUNT_TYPE::STOCK},
                      {"SH", korvex::DEFAULT_ACCOUNT_TYPE::STOCK}}};

    RepoInstrumentStore();

    korvex::INSTRUMENT_TYPE instrument_type() const override;
    const std::vector<std::string>& all_id_and_syms() const override { return _obids; }
    // As for bonds. Every repo is listed from 1999-01-01 to 2999-12-31 whatever the client
    // says; exchange and account_type come from the suffix. An id without a known suffix stops
    // the sequence with a KeyError at that record.
    korvex::InstrumentSequence get_instruments(
        std::optional<std::vector<std::string>> id_or_syms) const override;

private:
    std::vector<std::string> _obids;
};

}  // namespace korvex_mod_bond
