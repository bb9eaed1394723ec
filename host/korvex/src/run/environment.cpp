#include "korvex/environment.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"

namespace korvex {

namespace {
Environment* g_instance = nullptr;
}

Environment::Environment(Config config)
    : config_(std::move(config)), portfolio_(std::make_unique<Portfolio>(this)) {
    if (g_instance) throw RuntimeError("an environment already exists: one run at a time");
    g_instance = this;
}

Environment::~Environment() {
    if (g_instance == this) g_instance = nullptr;
}

Environment& Environment::get_instance() {
    if (!g_instance) throw RuntimeError("no environment: no run is set up");
    return *g_instance;
}

Environment* Environment::instance_ptr() {
    return g_instance;
}

void Environment::set_data_source(std::shared_ptr<BaseDataSource> source) {
    if (!source) throw ValueError("set_data_source: data source is null");
    // The same source again: its stores may have changed since the proxy indexed them.
    if (source != data_source_ || !data_proxy_)
        data_proxy_ = std::make_unique<DataProxy>(source);
    else
        data_proxy_->refresh();
    data_source_ = std::move(source);
}

DataProxy& Environment::data_proxy() const {
    if (!data_proxy_) throw RuntimeError("no data source is set");
    return *data_proxy_;
}

void Environment::set_broker(std::shared_ptr<AbstractBroker> broker) {
    broker_ = std::move(broker);
}

void Environment::set_transaction_cost_decider(
    INSTRUMENT_TYPE type, std::shared_ptr<AbstractTransactionCostDecider> decider) {
    deciders_[type] = std::move(decider);
}

void Environment::add_frontend_validator(std::shared_ptr<AbstractFrontendValidator> validator,
                                         std::optional<INSTRUMENT_TYPE> type) {
    validators_.emplace_back(type, std::move(validator));
}

AbstractTransactionCostDecider* Environment::transaction_cost_decider(INSTRUMENT_TYPE type) const {
    auto it = deciders_.find(type);
    return it == deciders_.end() ? nullptr : it->second.get();
}

std::vector<AbstractFrontendValidator*> Environment::frontend_validators(
    INSTRUMENT_TYPE type) const {
    std::vector<AbstractFrontendValidator*> out;
    for (auto& [t, v] : validators_)
        if (!t || *t == type) out.push_back(v.get());
    return out;
}

void Environment::add_post_system_init(std::function<void(Environment&)> hook) {
    post_system_init_.push_back(std::move(hook));
}

void Environment::add_state_restored(std::function<void(Environment&)> hook) {
    state_restored_.push_back(std::move(hook));
}

void Environment::run_state_restored() {
    for (auto& hook : state_restored_) hook(*this);
}

void Environment::add_day_closed(std::function<void(Environment&)> hook) {
    day_closed_.push_back(std::move(hook));
}

void Environment::run_day_closed() {
    for (auto& hook : day_closed_) hook(*this);
}

void Environment::add_result_file(std::string name, ResultWriter write) {
    result_files_.emplace_back(std::move(name), std::move(write));
}

void Environment::run_post_system_init() {
    auto hooks = std::move(post_system_init_);
    post_system_init_.clear();
    for (auto& hook : hooks) hook(*this);
}

const TickObject* Environment::latest_tick(const std::string& order_book_id) const {
    auto it = latest_ticks_.find(order_book_id);
    return it == latest_ticks_.end() || it->second.empty() ? nullptr : &it->second;
}

TickObject& Environment::latest_tick_slot(const std::string& order_book_id) {
    auto it = latest_ticks_.find(order_book_id);
    if (it == latest_ticks_.end()) {
        it = latest_ticks_.emplace(order_book_id, TickObject()).first;
        it->second = TickObject(&it->first, TickRecord{});  // names its key, holds no snapshot
    }
    return it->second;
}

const TickObject& Environment::set_latest_tick(const std::string& order_book_id,
                                               const TickRecord& record) {
    TickObject& slot = latest_tick_slot(order_book_id);
    slot.set_record(record);
    return slot;
}

void Environment::clear_latest_ticks() {
    // Emptied in place: the loop's slots stay valid for the whole run.
    for (auto& [id, tick] : latest_ticks_) tick.set_record(TickRecord{});
}

INSTRUMENT_TYPE Environment::instrument_type_of(const std::string& order_book_id) const {
    return data_proxy().instruments(order_book_id)->type();
}

bool Environment::can_submit_order(const Order& order, Account* account) {
    for (auto* v : frontend_validators(instrument_type_of(order.order_book_id())))
        if (!v->can_submit_order(order, account)) return false;
    return true;
}

bool Environment::can_cancel_order(const Order& order, Account* account) {
    for (auto* v : frontend_validators(instrument_type_of(order.order_book_id())))
        if (!v->can_cancel_order(order, account)) return false;
    return true;
}

double Environment::get_order_transaction_cost(const Order& order) const {
    auto* d = transaction_cost_decider(instrument_type_of(order.order_book_id()));
    return d ? d->get_order_transaction_cost(order) : 0.0;
}

double Environment::get_trade_tax(const Trade& trade) const {
    auto* d = transaction_cost_decider(instrument_type_of(trade.order_book_id()));
    return d ? d->get_trade_tax(trade) : 0.0;
}

double Environment::get_trade_commission(const Trade& trade) const {
    auto* d = transaction_cost_decider(instrument_type_of(trade.order_book_id()));
    return d ? d->get_trade_commission(trade) : 0.0;
}

void Environment::register_position_model(INSTRUMENT_TYPE type, PositionFactory factory) {
    position_models_[type] = std::move(factory);
}

void Environment::register_position_proxy(INSTRUMENT_TYPE type, PositionProxyFactory factory) {
    position_proxies_[type] = std::move(factory);
}

std::unique_ptr<Position> Environment::make_position(const std::string& order_book_id,
                                                     POSITION_DIRECTION direction,
                                                     double init_quantity) const {
    if (!position_models_.empty() && data_proxy_) {
        auto it = position_models_.find(instrument_type_of(order_book_id));
        if (it != position_models_.end())
            return it->second(order_book_id, direction, init_quantity);
    }
    return std::make_unique<Position>(order_book_id, direction, init_quantity);
}

std::unique_ptr<PositionProxy> Environment::make_position_proxy(const std::string& order_book_id,
                                                                const Position* long_pos,
                                                                const Position* short_pos) const {
    if (!position_proxies_.empty() && data_proxy_) {
        auto it = position_proxies_.find(instrument_type_of(order_book_id));
        if (it != position_proxies_.end()) return it->second(order_book_id, long_pos, short_pos);
    }
    return std::make_unique<StockPositionProxy>(order_book_id, long_pos, short_pos);
}

void Environment::add_daily_metric(std::string name, Metric metric) {
    metrics_.emplace_back(std::move(name), std::move(metric));
}

void Environment::add_summary_extra(std::string name, Metric metric) {
    summary_extras_.emplace_back(std::move(name), std::move(metric));
}

}  // namespace korvex
