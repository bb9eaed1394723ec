// The environment of one run: configuration, data, portfolio, broker, the registered
// validators and cost deciders, position models, and the current time. One instance per run;
// components reach it through Environment::get_instance().
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvex/config.hpp"
#include "korvex/data/data_proxy.hpp"
#include "korvex/interface.hpp"
#include "korvex/portfolio/portfolio.hpp"
#include "korvex/portfolio/position.hpp"
#include "korvex/report_section.hpp"

namespace korvex {

class Environment {
public:
    explicit Environment(Config config);
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // RuntimeError when no run is set up.
    static Environment& get_instance();
    static Environment* instance_ptr();

    Config& config() { return config_; }
    const Config& config() const { return config_; }

    // Null until a data source is set.
    std::shared_ptr<BaseDataSource> data_source() const { return data_source_; }
    void set_data_source(std::shared_ptr<BaseDataSource> source);
    // RuntimeError when no data source is set.
    DataProxy& data_proxy() const;

    Portfolio& portfolio() { return *portfolio_; }
    const Portfolio& portfolio() const { return *portfolio_; }

    AbstractBroker* broker() const { return broker_.get(); }
    std::shared_ptr<AbstractBroker> broker_ptr() const { return broker_; }
    void set_broker(std::shared_ptr<AbstractBroker> broker);

    DateTime trading_dt{};
    DateTime calendar_dt{};

    // Work for after every mod has started and the data source is final (a mod that registers a
    // store into whichever data source the run ends up with). The runner calls them once.
    void add_post_system_init(std::function<void(Environment&)> hook);
    void run_post_system_init();
    // Work for when a run resumes from saved state, the clock at the saved close (a mod noting
    // what the book held there). The runner calls them once, after restoring the accounts.
    void add_state_restored(std::function<void(Environment&)> hook);
    void run_state_restored();
    // Work at each day's close, once every account has settled and before the day's metrics are
    // read (a mod recording what the book did that day).
    void add_day_closed(std::function<void(Environment&)> hook);
    void run_day_closed();

    // Tick runs: the latest snapshot of each instrument today, null before its first one.
    const TickObject* latest_tick(const std::string& order_book_id) const;
    const TickObject& set_latest_tick(const std::string& order_book_id, const TickRecord& record);
    // The instrument's slot, kept for the whole run: the loop holds it and writes each snapshot
    // with set_record, without a lookup. Empty until written today.
    TickObject& latest_tick_slot(const std::string& order_book_id);
    void clear_latest_ticks();

    void set_transaction_cost_decider(INSTRUMENT_TYPE type,
                                      std::shared_ptr<AbstractTransactionCostDecider> decider);
    // No type: applies to every order.
    void add_frontend_validator(std::shared_ptr<AbstractFrontendValidator> validator,
                                std::optional<INSTRUMENT_TYPE> type = std::nullopt);
    AbstractTransactionCostDecider* transaction_cost_decider(INSTRUMENT_TYPE type) const;
    std::vector<AbstractFrontendValidator*> frontend_validators(INSTRUMENT_TYPE type) const;

    // Asks every validator for the order's type (and the untyped ones); first refusal wins.
    bool can_submit_order(const Order& order, Account* account);
    bool can_cancel_order(const Order& order, Account* account);
    double get_order_transaction_cost(const Order& order) const;  // 0 without a decider
    double get_trade_tax(const Trade& trade) const;
    double get_trade_commission(const Trade& trade) const;

    // Position models and proxies by instrument type; others get the host's defaults.
    void register_position_model(INSTRUMENT_TYPE type, PositionFactory factory);
    void register_position_proxy(INSTRUMENT_TYPE type, PositionProxyFactory factory);
    std::unique_ptr<Position> make_position(const std::string& order_book_id,
                                            POSITION_DIRECTION direction,
                                            double init_quantity = 0) const;
    std::unique_ptr<PositionProxy> make_position_proxy(const std::string& order_book_id,
                                                       const Position* long_pos,
                                                       const Position* short_pos) const;

    // Every trade booked in the run, in order.
    const std::vector<TradePtr>& trades() const { return trades_; }
    void record_trade(TradePtr trade) { trades_.push_back(std::move(trade)); }
    // A mod's own per-run objects, kept under the mod's key for the run's life.
    std::shared_ptr<void> extension(std::string_view key) const {
        auto it = extensions_.find(key);
        return it == extensions_.end() ? nullptr : it->second;
    }
    void set_extension(std::string key, std::shared_ptr<void> value) {
        extensions_[std::move(key)] = std::move(value);
    }

    std::int64_t next_order_id() { return ++order_seq_; }
    // The last id given; a resumed run goes on from the saved one.
    std::int64_t last_order_id() const { return order_seq_; }
    void set_last_order_id(std::int64_t id) { order_seq_ = id; }
    std::int64_t next_trade_id() { return ++trade_seq_; }

    INSTRUMENT_TYPE instrument_type_of(const std::string& order_book_id) const;

    // Daily metrics: a named figure computed after each day's settlement and written as a column
    // of the daily results (repo balances, DV01, ...). Summary extras: named figures computed once
    // at the end of the run and added to the summary.
    using Metric = std::function<double(Environment&)>;
    void add_daily_metric(std::string name, Metric metric);
    const std::vector<std::pair<std::string, Metric>>& daily_metrics() const { return metrics_; }
    void add_summary_extra(std::string name, Metric metric);
    const std::vector<std::pair<std::string, Metric>>& summary_extras() const {
        return summary_extras_;
    }

    // Result files a mod writes beside the host's, filled at the end of the run.
    using ResultWriter = std::function<void(Environment&, std::ostream&)>;
    void add_result_file(std::string name, ResultWriter write);
    const std::vector<std::pair<std::string, ResultWriter>>& result_files() const {
        return result_files_;
    }

    // Sections the mods add to the report, in the order added.
    void add_report_section(ReportSection section) {
        report_sections_.push_back(std::move(section));
    }
    const std::vector<ReportSection>& report_sections() const { return report_sections_; }

    // Where the position being called notes the parts of its cash change.
    CashParts& cash_parts() { return cash_parts_; }

private:
    CashParts cash_parts_;
    Config config_;
    std::shared_ptr<BaseDataSource> data_source_;
    std::unique_ptr<DataProxy> data_proxy_;
    std::unique_ptr<Portfolio> portfolio_;
    std::shared_ptr<AbstractBroker> broker_;
    std::map<INSTRUMENT_TYPE, std::shared_ptr<AbstractTransactionCostDecider>> deciders_;
    std::vector<
        std::pair<std::optional<INSTRUMENT_TYPE>, std::shared_ptr<AbstractFrontendValidator>>>
        validators_;
    std::map<INSTRUMENT_TYPE, PositionFactory> position_models_;
    std::map<INSTRUMENT_TYPE, PositionProxyFactory> position_proxies_;
    std::vector<TradePtr> trades_;
    std::vector<std::function<void(Environment&)>> post_system_init_;
    std::vector<std::function<void(Environment&)>> state_restored_;
    std::vector<std::function<void(Environment&)>> day_closed_;
    std::vector<std::pair<std::string, ResultWriter>> result_files_;
    std::vector<ReportSection> report_sections_;
    // Node-based: a TickObject points at its key.
    std::unordered_map<std::string, TickObject> latest_ticks_;
    std::vector<std::pair<std::string, Metric>> metrics_;
    std::vector<std::pair<std::string, Metric>> summary_extras_;
    std::int64_t order_seq_ = 0;
    std::map<std::string, std::shared_ptr<void>, std::less<>> extensions_;
    std::int64_t trade_seq_ = 0;
};

}  // namespace korvex
