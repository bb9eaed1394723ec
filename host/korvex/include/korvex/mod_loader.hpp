// Loading mods and modules from shared libraries. A mod library exports one C entry point,
// korvex_mod_entry, returning its ABI version, name and factory; the host checks the version
// before using anything else of it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "korvex/config.hpp"
#include "korvex/interface.hpp"

// Raised whenever a class that mods or strategy libraries derive from or call changes its
// layout (2: tick runs added Strategy::handle_tick, AbstractBroker::on_tick and the tick store).
#define KORVEX_MOD_ABI_VERSION 2

extern "C" {
struct KorvexModEntry {
    int abi_version;
    const char* name;
    korvex::AbstractMod* (*create)();
    void (*destroy)(korvex::AbstractMod*);
};
typedef const KorvexModEntry* (*korvex_mod_entry_fn)();
}

namespace korvex {

// A loaded shared library; unloading is left to process exit so that objects it made stay valid.
class Module {
public:
    Module(std::filesystem::path path, void* handle) : path_(std::move(path)), handle_(handle) {}
    const std::filesystem::path& path() const { return path_; }
    void* symbol(const char* name) const;  // null when absent

private:
    std::filesystem::path path_;
    void* handle_;
};

// Directories searched for libraries: KORVEX_MOD_PATH (colon-separated), then the given
// extra directories, then the directory of the running program's libraries.
std::vector<std::filesystem::path> module_search_path(
    const std::vector<std::filesystem::path>& extra = {});

// The extra directories a run's configuration names (base.mod_path), for every library it loads.
std::vector<std::filesystem::path> configured_mod_path(const Config& config);

// Loads lib<name>.so from the search path (once; later calls return the same module).
// ImportError naming the library and every directory searched when it is missing or broken.
std::shared_ptr<Module> load_module(const std::string& name,
                                    const std::vector<std::filesystem::path>& extra = {});

struct LoadedMod {
    std::string name;
    std::shared_ptr<Module> module;
    const KorvexModEntry* entry = nullptr;
    std::filesystem::path default_config;  // korvex_mod_<name>.toml beside the library, if any
};

// Loads korvex_mod_<name>: library, entry point, ABI check. ImportError on any failure.
LoadedMod load_mod(const std::string& name, const std::vector<std::filesystem::path>& extra = {});

}  // namespace korvex
