// The instruments of the sample bundle: bonds of the inter-bank market and of both exchanges
// with their terms, the repos, and a few ids of other markets that the stores must skip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ql/time/date.hpp>

namespace korvex_generate {

enum class Market { InterBank, Shanghai, Shenzhen, Other };

struct Issuer {
    std::string name;
    std::string short_name;
    double spread;  // long-run credit spread over the government curve, fraction
};

// The issuers, by index; BondSpec::issuer points here and MarketModel keeps one spread each.
const std::vector<Issuer>& issuers();
std::vector<double> issuer_spreads();

struct BondSpec {
    std::string order_book_id;
    std::string symbol;
    std::string bond_type;  // government, policy_bank, local_government, enterprise, ...
    Market market = Market::InterBank;
    std::size_t issuer = 0;
    QuantLib::Date issue_date;  // also the day interest starts
    QuantLib::Date listed_date;
    QuantLib::Date maturity_date;  // a working day of both markets: the last payment
    int frequency = 1;             // coupons a year; 0 for discount bills
    int amortizing_payments = 0;   // principal repaid in equal parts on the last n coupon days
    double coupon_rate = 0.0;      // percent
    double issue_price = 100.0;    // per 100 face
    double issue_size = 0.0;       // yuan
    double liquidity = 0.5;        // share of days with trades
    // Variations of the record that the instrument stores must handle.
    bool round_lot_present = false;
    bool issue_price_present = true;
    bool listed_date_empty = false;
    bool de_listed_date_empty = false;
};

class MarketModel;

// `count` bonds that live at some point in [start, end], plus a few ids with other suffixes,
// sorted by order book id. Coupons are the model's yield at issue, so bonds start near par.
std::vector<BondSpec> make_bonds(std::uint64_t seed, int count, const QuantLib::Date& start,
                                 const QuantLib::Date& end, const MarketModel& model);

struct RepoSpec {
    std::string order_book_id;
    std::string symbol;
    Market market = Market::InterBank;
    int repo_period = 1;  // days
};

// Standard inter-bank repos, other inter-bank repo ids, and the exchanges' pledged repos.
std::vector<RepoSpec> make_repos();

}  // namespace korvex_generate
