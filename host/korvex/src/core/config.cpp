#include "korvex/config.hpp"

#include <fmt/format.h>

#include <toml++/toml.h>
#include <fstream>
#include <sstream>

#include "korvex/errors.hpp"

namespace korvex {

struct ConfigNode::Tree {
    toml::table table;
};

namespace {

const toml::node* as_node(const void* p) {
    return static_cast<const toml::node*>(p);
}

std::string join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::vector<std::string> split_path(std::string_view dotted) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::size_t dot = dotted.find('.', start);
        if (dot == std::string_view::npos) dot = dotted.size();
        parts.emplace_back(dotted.substr(start, dot - start));
        start = dot + 1;
    }
    return parts;
}

std::string describe(const toml::node& n) {
    switch (n.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return fmt::format("text \"{}\"", *n.value<std::string>());
        case toml::node_type::integer:
            return fmt::format("integer {}", *n.value<std::int64_t>());
        case toml::node_type::floating_point:
            return fmt::format("number {}", *n.value<double>());
        case toml::node_type::boolean:
            return *n.value<bool>() ? "true" : "false";
        default:
            return "a date or time";
    }
}

// Merges `src` into `dst`; with `keep_existing` values already in dst win.
void merge_into(toml::table& dst, const toml::table& src, bool keep_existing) {
    for (auto&& [key, node] : src) {
        toml::node* existing = dst.get(key);
        if (existing && existing->is_table() && node.is_table()) {
            merge_into(*existing->as_table(), *node.as_table(), keep_existing);
        } else if (!existing || !keep_existing) {
            dst.insert_or_assign(key, node);
        }
    }
}

toml::table parse_toml(std::string_view text, std::string_view source) {
    try {
        return toml::parse(text, std::string(source));
    } catch (const toml::parse_error& e) {
        throw ValueError(fmt::format("cannot parse configuration {} at line {}, column {}: {}",
                                     source, e.source().begin.line, e.source().begin.column,
                                     e.description()));
    }
}

toml::table& ensure_table(toml::table& root, const std::vector<std::string>& parts,
                          std::size_t count) {
    toml::table* t = &root;
    for (std::size_t i = 0; i < count; ++i) {
        toml::node* n = t->get(parts[i]);
        if (!n) {
            t->insert(parts[i], toml::table{});
            n = t->get(parts[i]);
        } else if (!n->is_table()) {
            throw TypeError(fmt::format("configuration entry {} is not a section", parts[i]));
        }
        t = n->as_table();
    }
    return *t;
}

void insert_value(toml::table& t, const std::string& key, const Value& v) {
    std::visit(
        [&](auto&& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                t.erase(key);
            else if constexpr (std::is_same_v<T, DateTime>)
                t.insert_or_assign(key, format_datetime(x));
            else
                t.insert_or_assign(key, x);
        },
        v.storage());
}

}  // namespace

ConfigNode::ConfigNode(std::shared_ptr<Tree> tree, const void* node, std::string path)
    : tree_(std::move(tree)), node_(node), path_(std::move(path)) {}

ConfigNode ConfigNode::operator[](std::string_view key) const {
    const toml::node* n = as_node(node_);
    const toml::table* t = n->as_table();
    const toml::node* child = t ? t->get(key) : nullptr;
    if (!child)
        throw AttributeError(fmt::format("configuration has no entry '{}'", join(path_, key)));
    return ConfigNode(tree_, child, join(path_, key));
}

ConfigNode ConfigNode::at(std::string_view dotted_path) const {
    ConfigNode n = *this;
    for (auto& part : split_path(dotted_path)) n = n[part];
    return n;
}

std::string ConfigNode::to_toml() const {
    const toml::table* t = as_node(node_)->as_table();
    if (!t) throw TypeError(fmt::format("configuration entry '{}' is not a table", path_));
    std::stringstream ss;
    ss << *t;
    return ss.str();
}

bool ConfigNode::contains(std::string_view key) const {
    const toml::table* t = as_node(node_)->as_table();
    return t && t->get(key);
}

std::optional<ConfigNode> ConfigNode::find(std::string_view dotted_path) const {
    ConfigNode n = *this;
    for (auto& part : split_path(dotted_path)) {
        if (!n.contains(part)) return std::nullopt;
        n = n[part];
    }
    return n;
}

bool ConfigNode::is_table() const {
    return as_node(node_)->is_table();
}

std::vector<std::string> ConfigNode::keys() const {
    std::vector<std::string> out;
    if (auto* t = as_node(node_)->as_table())
        for (auto&& [k, v] : *t) out.emplace_back(k.str());
    return out;
}

std::string ConfigNode::as_string() const {
    if (auto v = as_node(node_)->value<std::string>(); v && as_node(node_)->is_string()) return *v;
    throw TypeError(fmt::format("configuration entry {} must be a text, got {}", path_,
                                describe(*as_node(node_))));
}

double ConfigNode::as_double() const {
    const toml::node* n = as_node(node_);
    if (n->is_floating_point()) return *n->value<double>();
    if (n->is_integer()) {
        // Past 2^53 an integer has no exact double: refused rather than read as another number.
        const std::int64_t i = *n->value<std::int64_t>();
        constexpr std::int64_t kExact = std::int64_t{1} << 53;
        if (i > kExact || i < -kExact)
            throw ValueError(fmt::format(
                "configuration entry {}: {} is too large to be a number exactly (at most {})",
                path_, i, kExact));
        return static_cast<double>(i);
    }
    throw TypeError(
        fmt::format("configuration entry {} must be a number, got {}", path_, describe(*n)));
}

std::int64_t ConfigNode::as_int() const {
    const toml::node* n = as_node(node_);
    if (n->is_integer()) return *n->value<std::int64_t>();
    throw TypeError(
        fmt::format("configuration entry {} must be an integer, got {}", path_, describe(*n)));
}

bool ConfigNode::as_bool() const {
    const toml::node* n = as_node(node_);
    if (n->is_boolean()) return *n->value<bool>();
    throw TypeError(
        fmt::format("configuration entry {} must be true or false, got {}", path_, describe(*n)));
}

Value ConfigNode::as_value() const {
    const toml::node* n = as_node(node_);
    switch (n->type()) {
        case toml::node_type::string:
            return Value(*n->value<std::string>());
        case toml::node_type::integer:
            return Value(*n->value<std::int64_t>());
        case toml::node_type::floating_point:
            return Value(*n->value<double>());
        case toml::node_type::boolean:
            return Value(*n->value<bool>());
        default:
            return Value();
    }
}

std::vector<std::string> ConfigNode::as_string_list() const {
    const toml::node* n = as_node(node_);
    std::vector<std::string> out;
    if (n->is_string()) {
        out.push_back(*n->value<std::string>());
        return out;
    }
    const toml::array* a = n->as_array();
    if (!a)
        throw TypeError(fmt::format("configuration entry {} must be a list of texts, got {}", path_,
                                    describe(*n)));
    for (auto& e : *a) {
        if (!e.is_string())
            throw TypeError(fmt::format("configuration entry {} must be a list of texts", path_));
        out.push_back(*e.value<std::string>());
    }
    return out;
}

bool ConfigNode::truthy() const {
    const toml::node* n = as_node(node_);
    if (n->is_table()) return !n->as_table()->empty();
    if (n->is_array()) return !n->as_array()->empty();
    return as_value().truthy();
}

Config::Config() : tree_(std::make_shared<ConfigNode::Tree>()) {
    tree_->table = parse_toml(default_config_toml(), "<built-in defaults>");
}

Config Config::from_string(std::string_view toml_text, std::string_view source_name) {
    Config c;
    c.merge_string(toml_text, source_name);
    return c;
}

void Config::merge_string(std::string_view toml_text, std::string_view source_name) {
    toml::table t = parse_toml(toml_text, source_name);
    // A user's accounts replace the defaults rather than adding to them.
    if (auto* base = t["base"].as_table(); base && base->get("accounts")) {
        if (auto* mine = tree_->table["base"].as_table()) mine->erase("accounts");
    }
    merge_into(tree_->table, t, false);
}

void Config::merge_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw ValueError(fmt::format("cannot read configuration file {}", path.string()));
    std::stringstream ss;
    ss << in.rdbuf();
    // An empty file is almost always the wrong file, not a wish for every default.
    if (ss.str().find_first_not_of(" \t\r\n") == std::string::npos)
        throw ValueError(fmt::format("configuration file {} is empty", path.string()));
    merge_string(ss.str(), path.string());
}

void Config::merge_defaults_under(std::string_view prefix, const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw ValueError(fmt::format("cannot read default configuration {}", path.string()));
    std::stringstream ss;
    ss << in.rdbuf();
    toml::table defaults = parse_toml(ss.str(), path.string());
    auto parts = split_path(prefix);
    toml::table& target = ensure_table(tree_->table, parts, parts.size());
    merge_into(target, defaults, true);
}

void Config::set_override(std::string_view assignment) {
    auto eq = assignment.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw ValueError(fmt::format("bad override '{}' (expected key.path=value)", assignment));
    std::string key(assignment.substr(0, eq));
    std::string rhs(assignment.substr(eq + 1));
    auto parts = split_path(key);
    toml::table& parent = ensure_table(tree_->table, parts, parts.size() - 1);
    try {
        toml::table parsed = toml::parse("v = " + rhs);
        const toml::node& v = *parsed.get("v");
        // The configuration holds dates as text ("2020-01-02"), as the files write them.
        if (v.is_date() || v.is_time() || v.is_date_time())
            parent.insert_or_assign(parts.back(), rhs);
        else
            parent.insert_or_assign(parts.back(), v);
    } catch (const toml::parse_error&) {
        parent.insert_or_assign(parts.back(), rhs);
    }
}

void Config::set(std::string_view dotted_path, Value value) {
    auto parts = split_path(dotted_path);
    toml::table& parent = ensure_table(tree_->table, parts, parts.size() - 1);
    insert_value(parent, parts.back(), value);
}

void Config::set_table(std::string_view dotted_path, const std::map<std::string, Value>& values) {
    auto parts = split_path(dotted_path);
    toml::table& parent = ensure_table(tree_->table, parts, parts.size() - 1);
    toml::table t;
    for (auto& [k, v] : values) insert_value(t, k, v);
    parent.insert_or_assign(parts.back(), std::move(t));
}

void Config::erase(std::string_view dotted_path) {
    auto parts = split_path(dotted_path);
    toml::node* n = &tree_->table;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        n = n->as_table() ? n->as_table()->get(parts[i]) : nullptr;
        if (!n) return;
    }
    if (auto* t = n->as_table()) t->erase(parts.back());
}

ConfigNode Config::root() const {
    return ConfigNode(tree_, &tree_->table, "");
}

std::string Config::to_toml() const {
    std::stringstream ss;
    ss << tree_->table;
    return ss.str();
}

std::string market_database_path(const Config& config) {
    std::string db = config.at("tavlen.database").as_string();
    if (db.empty())
        db = (std::filesystem::path(config.at("base.data_bundle_path").as_string()) /
              "tavlen.sqlite")
                 .string();
    return db;
}

std::string_view default_config_toml() {
    return R"(
[base]
run_type = "BACKTEST"
start_date = "2020-01-02"
end_date = "2020-12-31"
frequency = "1d"
data_bundle_path = "data/bundle"
strategy = "hold_cash"
output_dir = "out"
# true: a run may replace result files it finds in output_dir that no earlier run recorded writing.
replace_output = false
mod_path = []
# Libraries (lib<name>.so on the mod path) whose strategies become available by name.
strategy_libraries = []
# Folders searched for Python strategy modules, before PYTHONPATH.
python_path = []
# The risk-free rate the summary's Sharpe and Sortino ratios are net of: a yearly rate
# (0.02 for 2%), or an instrument whose daily close is one (a repo's rate: "R001.IB"), which
# then replaces the fixed rate. Each day earns the previous close's rate for its nights.
risk_free_rate = 0.0
risk_free_instrument = ""
# Saved state to start from, and where to write the state at the end ("" for neither).
resume_from = ""
save_state_to = ""

[base.accounts]

[tavlen]
# The client's SQLite database; empty means <data_bundle_path>/tavlen.sqlite.
# The environment variable TAVLEN_DATABASE overrides it.
database = ""

[log]
level = "info"
progress = true

[strategy]

[mod.sys_simulation]
signal = false
matching_type = "current_bar"
volume_limit = true
volume_percent = 0.25
slippage = 0.0
overdraft_rate = 0.1825
on_shortfall = "overdraft"
)";
}

}  // namespace korvex
