// The configuration tree of a run: the host's built-in defaults, each enabled mod's shipped
// default section under mod.<name>, the user's TOML file, then command-line overrides, each
// layer over the one before. Sections are read like attributes: config["base"]["frequency"]
// or config.at("base.frequency"); a missing entry raises AttributeError naming its path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/value.hpp"

namespace korvex {

class ConfigNode {
public:
    // The tree is opaque here so that users of the header do not compile the TOML parser.
    struct Tree;
    ConfigNode(std::shared_ptr<Tree> tree, const void* node, std::string path);

    ConfigNode operator[](std::string_view key) const;  // AttributeError when absent
    ConfigNode at(std::string_view dotted_path) const;  // "base.frequency"
    bool contains(std::string_view key) const;
    std::optional<ConfigNode> find(std::string_view dotted_path) const;

    bool is_table() const;
    std::vector<std::string> keys() const;  // in file order for a table, else empty

    // Typed reads: a value of another type raises TypeError naming the key.
    std::string as_string() const;
    double as_double() const;  // integers widen
    std::int64_t as_int() const;
    bool as_bool() const;
    Value as_value() const;  // none for tables and arrays
    std::vector<std::string> as_string_list() const;
    bool truthy() const;  // as a user reads a value: 0, false, "" are false
    // A table as TOML text (TypeError for anything else): how its whole contents reach code
    // outside C++, such as a Python strategy's settings.
    std::string to_toml() const;

    const std::string& path() const { return path_; }

private:
    std::shared_ptr<Tree> tree_;
    const void* node_;
    std::string path_;
};

class Config {
public:
    Config();  // built-in defaults only

    static Config from_string(std::string_view toml_text,
                              std::string_view source_name = "<string>");

    // Merges a TOML file over the tree. Parse errors raise ValueError naming file, line, column.
    void merge_file(const std::filesystem::path& path);
    void merge_string(std::string_view toml_text, std::string_view source_name);
    // Merges `toml_text` under `prefix` (for example "mod.bond") beneath what is already there:
    // existing values win. Used for a mod's shipped defaults.
    void merge_defaults_under(std::string_view prefix, const std::filesystem::path& path);

    // "base.start_date=2020-01-01": the value is parsed as TOML when it can be, else taken as text.
    void set_override(std::string_view assignment);
    void set(std::string_view dotted_path, Value value);
    void set_table(std::string_view dotted_path, const std::map<std::string, Value>& values);
    void erase(std::string_view dotted_path);

    ConfigNode root() const;
    ConfigNode operator[](std::string_view key) const { return root()[key]; }
    ConfigNode at(std::string_view dotted_path) const { return root().at(dotted_path); }
    std::optional<ConfigNode> find(std::string_view dotted_path) const {
        return root().find(dotted_path);
    }
    std::string to_toml() const;

private:
    std::shared_ptr<ConfigNode::Tree> tree_;
};

// The host's built-in defaults, as TOML text.
std::string_view default_config_toml();

// The market-data database a run reads: tavlen.database, else tavlen.sqlite in the bundle.
std::string market_database_path(const Config& config);

}  // namespace korvex
