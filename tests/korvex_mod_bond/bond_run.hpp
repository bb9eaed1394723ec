// Whole runs of the bond mod on a generated bundle, for the run suites: the bundles, a run's
// configuration, and a runner that borrows the test's strategy.
#pragma once

#include <memory>
#include <string>

#include "generated_bundle.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace korvex::testing {

inline const std::filesystem::path& bond_bundle() {
    return generated_bundle(7, make_date(2019, 1, 2), make_date(2019, 6, 28), 40);
}

// Two exchange bonds carry minute bars and quote snapshots over the span's last five days.
inline const std::filesystem::path& bond_tick_bundle() {
    return generated_bundle(7, make_date(2019, 1, 2), make_date(2019, 6, 28), 40, 2);
}

inline Config bond_run_config(const std::string& start, const std::string& end,
                              const std::string& accounts,
                              const std::filesystem::path& data = bond_bundle()) {
    return Config::from_string("[base]\nstart_date = \"" + start + "\"\nend_date = \"" + end +
                               "\"\ndata_bundle_path = \"" + data.string() +
                               "\"\noutput_dir = \"\"\n[base.accounts]\n" + accounts +
                               "\n[mod.sys_simulation]\nvolume_limit = false\n");
}

// Lends the test's strategy to the runner, which would otherwise destroy it with itself.
class Borrowed : public Strategy {
public:
    explicit Borrowed(Strategy& s) : s_(s) {}
    void init(StrategyContext& c) override { s_.init(c); }
    void before_trading(StrategyContext& c) override { s_.before_trading(c); }
    void handle_bar(StrategyContext& c) override { s_.handle_bar(c); }
    void after_trading(StrategyContext& c) override { s_.after_trading(c); }
    void handle_tick(StrategyContext& c, const TickObject& t) override { s_.handle_tick(c, t); }

private:
    Strategy& s_;
};

// Runs `strategy` with the bond mod on the configuration's bundle.
inline RunResult run_bond(Config config, Strategy& strategy) {
    tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(
        std::filesystem::path(config.at("base.data_bundle_path").as_string()) / "tavlen.sqlite"));
    struct Reset {
        ~Reset() { tavlen::set_backend(nullptr); }
    } reset;
    Runner runner(std::move(config));
    runner.add_mod("bond", std::make_unique<korvex_mod_bond::BondMod>());
    runner.set_strategy(std::make_unique<Borrowed>(strategy));
    return runner.run();
}

}  // namespace korvex::testing
