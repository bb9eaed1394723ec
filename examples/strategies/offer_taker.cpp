// Tick runs: takes counterparty offers that stray from a running mid price. Each snapshot of a
// subscribed exchange bond updates an exponential average of its mid; an ask
// far enough under it is bought, a bid far enough over it sells what is held.
// [strategy] edge: distance from the average, in price; clip: units per order; max_units: the
// most held of one bond; bonds: ids to follow (empty: every listed exchange bond; those not quoted
// on a day feed nothing that day).
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "common.hpp"
#include "korvex_mod_bond/api/order.hpp"

namespace korvex_examples {
namespace {

class OfferTaker : public korvex::Strategy {
public:
    explicit OfferTaker(const korvex::ConfigNode& c)
        : edge_(config_number(c, "edge", 0.03)),
          clip_(config_number(c, "clip", 100)),
          max_units_(config_number(c, "max_units", 1000)) {
        if (c.contains("bonds")) bonds_ = c["bonds"].as_string_list();
    }

    void init(korvex::StrategyContext& ctx) override {
        for (auto& id : bonds_) ctx.subscribe(id);
    }

    void before_trading(korvex::StrategyContext& ctx) override {
        if (!bonds_.empty()) return;
        // Which bonds will be quoted today is not known before the session.
        for (auto suffix : {".SH", ".SZ"})
            for (auto& bond : listed_bonds(ctx, suffix, 0)) ctx.subscribe(bond->order_book_id());
    }

    void handle_tick(korvex::StrategyContext& ctx, const korvex::TickObject& tick) override {
        const double ask = tick.asks()[0], bid = tick.bids()[0];
        if (!(tick.ask_vols()[0] > 0 && tick.bid_vols()[0] > 0)) return;
        const double mid = (ask + bid) / 2;
        auto [it, fresh] = average_.try_emplace(tick.order_book_id(), mid);
        double& average = it->second;
        // One order at a time per bond: what a quote could not fill waits for the next ones.
        if (!fresh && ctx.env().broker()->get_open_orders(tick.order_book_id()).empty()) {
            const double holding = held(ctx, tick.order_book_id());
            if (ask <= average - edge_ && holding + clip_ <= max_units_)
                korvex_mod_bond::api::order_bond(ctx, tick.order_book_id(), clip_);
            else if (bid >= average + edge_ && holding > 0)
                korvex_mod_bond::api::order_bond(ctx, tick.order_book_id(),
                                                 -std::min(clip_, holding));
        }
        average += 0.1 * (mid - average);
    }

    // The running mids: a resumed run compares quotes with the same averages.
    korvex::State save_state(korvex::StrategyContext&) override {
        korvex::State averages = korvex::State::object();
        for (auto& [id, mid] : average_) averages[id] = mid;
        return {{"average", averages}};
    }
    void restore_state(korvex::StrategyContext&, const korvex::State& state) override {
        average_.clear();
        for (auto& [id, mid] : state.at("average").items()) average_[id] = mid.get<double>();
    }

private:
    double edge_, clip_, max_units_;
    std::vector<std::string> bonds_;
    std::unordered_map<std::string, double> average_;
};

const bool registered = [] {
    korvex::register_strategy(
        "offer_taker", "tick runs: takes counterparty offers that stray from the running mid",
        [](const korvex::ConfigNode& c) { return std::make_unique<OfferTaker>(c); });
    return true;
}();

}  // namespace
}  // namespace korvex_examples
