#include "korvex/strategy.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>

#include "korvex/api.hpp"
#include "korvex/errors.hpp"
#include "korvex/mod_loader.hpp"

namespace korvex {

namespace {

std::map<std::string, StrategyContext::PropertyGetter>& context_properties() {
    static std::map<std::string, StrategyContext::PropertyGetter> props;
    return props;
}

struct Registered {
    std::string description;
    StrategyFactory factory;
};

std::map<std::string, Registered>& registry() {
    static std::map<std::string, Registered> r;
    return r;
}

// Holds its starting cash: the smallest complete run.
class HoldCash : public Strategy {};

// Buys a fixed quantity of one instrument on the first day and holds it.
class BuyAndHold : public Strategy {
public:
    explicit BuyAndHold(const ConfigNode& config)
        : order_book_id_(config["order_book_id"].as_string()),
          quantity_(config["quantity"].as_double()) {}
    void handle_bar(StrategyContext& ctx) override {
        if (done_) return;
        done_ = true;
        ctx.order_shares(order_book_id_, quantity_);
    }

private:
    std::string order_book_id_;
    double quantity_;
    bool done_ = false;
};

const bool kBuiltins = [] {
    register_strategy("hold_cash", "holds its starting cash and does nothing",
                      [](const ConfigNode&) { return std::make_unique<HoldCash>(); });
    register_strategy("buy_and_hold",
                      "buys [strategy] quantity of [strategy] order_book_id on the first day",
                      [](const ConfigNode& c) { return std::make_unique<BuyAndHold>(c); });
    return true;
}();

}  // namespace

OrderPtr StrategyContext::submit_order(const std::string& order_book_id, double quantity, SIDE side,
                                       POSITION_EFFECT effect, std::optional<double> price,
                                       Record extra) {
    return korvex::submit_order(env_, order_book_id, quantity, side, effect, price,
                                std::move(extra));
}

OrderPtr StrategyContext::order_shares(const std::string& order_book_id, double amount,
                                       std::optional<double> price) {
    if (amount >= 0)
        return submit_order(order_book_id, amount, SIDE::BUY, POSITION_EFFECT::OPEN, price);
    return submit_order(order_book_id, -amount, SIDE::SELL, POSITION_EFFECT::CLOSE, price);
}

void StrategyContext::subscribe(const std::string& order_book_id) {
    data_proxy().instruments(order_book_id);  // unknown ids are refused here, not mid-run
    if (std::find(subscribed_.begin(), subscribed_.end(), order_book_id) == subscribed_.end())
        subscribed_.push_back(order_book_id);
}

void StrategyContext::unsubscribe(const std::string& order_book_id) {
    std::erase(subscribed_, order_book_id);
}

void StrategyContext::install_property(const std::string& name, PropertyGetter getter) {
    context_properties()[name] = std::move(getter);
}

bool StrategyContext::has_property(const std::string& name) {
    return context_properties().count(name) != 0;
}

std::any StrategyContext::property(const std::string& name) const {
    auto it = context_properties().find(name);
    if (it == context_properties().end())
        throw AttributeError(fmt::format("strategy context has no attribute '{}'", name));
    return it->second(*this);
}

void register_strategy(const std::string& name, std::string description, StrategyFactory factory) {
    (void)kBuiltins;
    registry()[name] = {std::move(description), std::move(factory)};
}

std::vector<std::pair<std::string, std::string>> list_strategies() {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& [name, r] : registry()) out.emplace_back(name, r.description);
    return out;
}

namespace {

// A strategy named by a path rather than by a registered name.
bool is_library_path(const std::string& name) {
    return name.find('/') != std::string::npos || name.find(".so") != std::string::npos;
}

std::string known_strategies() {
    std::string known;
    for (auto& [name, r] : registry()) known += (known.empty() ? "" : ", ") + name;
    return known;
}

}  // namespace

std::unique_ptr<Strategy> load_strategy(const std::string& name_or_path, const ConfigNode& config) {
    (void)kBuiltins;
    if (auto it = registry().find(name_or_path); it != registry().end())
        return it->second.factory(config);
    if (!is_library_path(name_or_path))
        throw KeyError(
            fmt::format("unknown strategy '{}' (built in: {}; or give the path of a "
                        "strategy library)",
                        name_or_path, known_strategies()));
    void* handle = dlopen(name_or_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw ImportError(
            fmt::format("cannot load strategy library {}: {}", name_or_path, dlerror()));
    auto abi = reinterpret_cast<int (*)()>(dlsym(handle, "korvex_strategy_abi_version"));
    auto create =
        reinterpret_cast<korvex_create_strategy_fn>(dlsym(handle, "korvex_create_strategy"));
    if (!create)
        throw ImportError(fmt::format("strategy library {} does not export korvex_create_strategy",
                                      name_or_path));
    if (!abi || abi() != KORVEX_MOD_ABI_VERSION)
        throw ImportError(fmt::format("strategy library {} was built for ABI {}, the host has {}",
                                      name_or_path, abi ? abi() : 0, KORVEX_MOD_ABI_VERSION));
    return std::unique_ptr<Strategy>(create());
}

namespace {

PythonStrategyLoader& python_loader() {
    static PythonStrategyLoader loader = nullptr;
    return loader;
}

// Starts Python in a program that has none; false when this build has no Python support.
bool start_python(const std::vector<std::filesystem::path>& mod_path, std::string& why) {
    if (python_loader()) return true;
    std::shared_ptr<Module> python;
    try {
        python = load_module("korvex_python", mod_path);
    } catch (const ImportError& e) {
        why = e.what();
        return false;
    }
    auto start = reinterpret_cast<korvex_python_start_fn>(python->symbol("korvex_python_start"));
    if (!start)
        throw ImportError(
            fmt::format("{} does not export korvex_python_start", python->path().string()));
    start();
    if (!python_loader())
        throw ImportError(fmt::format("{} started Python but no strategy loader was installed",
                                      python->path().string()));
    return true;
}

}  // namespace

void set_python_strategy_loader(PythonStrategyLoader loader) {
    python_loader() = loader;
}

std::unique_ptr<Strategy> load_configured_strategy(
    const Config& config, const std::vector<std::filesystem::path>& mod_path) {
    const std::string name = config.at("base.strategy").as_string();
    const ConfigNode settings = config.at("strategy");
    const bool python_file = name.size() > 3 && name.ends_with(".py");
    if (!python_file && (registry().count(name) || is_library_path(name)))
        return load_strategy(name, settings);

    std::string why;
    if (!start_python(mod_path, why)) {
        if (python_file)
            throw ImportError(fmt::format(
                "strategy '{}' is Python, and this build has no Python support: {}", name, why));
        return load_strategy(name, settings);  // the unknown-name error
    }
    const std::vector<std::string> python_path = config.at("base.python_path").as_string_list();
    if (auto s = python_loader()(name, python_path, settings)) return s;
    if (python_file) throw ImportError(fmt::format("no Python strategy file '{}'", name));
    throw KeyError(fmt::format(
        "unknown strategy '{}' (built in: {}; no Python module of that name on base.python_path "
        "or PYTHONPATH either; or give the path of a strategy library or a .py file)",
        name, known_strategies()));
}

}  // namespace korvex
