#include "korvex/mod_loader.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cstdlib>
#include <map>

#include "korvex/errors.hpp"

namespace korvex {

namespace {

std::filesystem::path own_library_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_library_dir), &info) && info.dli_fname)
        return std::filesystem::path(info.dli_fname).parent_path();
    return {};
}

std::map<std::string, std::shared_ptr<Module>>& loaded_modules() {
    static std::map<std::string, std::shared_ptr<Module>> modules;
    return modules;
}

std::string join_paths(const std::vector<std::filesystem::path>& paths) {
    std::string out;
    for (auto& p : paths) out += (out.empty() ? "" : ", ") + p.string();
    return out;
}

}  // namespace

void* Module::symbol(const char* name) const {
    return dlsym(handle_, name);
}

std::vector<std::filesystem::path> module_search_path(
    const std::vector<std::filesystem::path>& extra) {
    std::vector<std::filesystem::path> dirs;
    if (const char* env = std::getenv("KORVEX_MOD_PATH")) {
        std::string s(env);
        std::size_t start = 0;
        while (start <= s.size()) {
            std::size_t colon = s.find(':', start);
            if (colon == std::string::npos) colon = s.size();
            if (colon > start) dirs.emplace_back(s.substr(start, colon - start));
            start = colon + 1;
        }
    }
    dirs.insert(dirs.end(), extra.begin(), extra.end());
    if (auto own = own_library_dir(); !own.empty()) dirs.push_back(own);
    return dirs;
}

std::vector<std::filesystem::path> configured_mod_path(const Config& config) {
    std::vector<std::filesystem::path> dirs;
    if (auto node = config.find("base.mod_path"))
        for (auto& p : node->as_string_list()) dirs.emplace_back(p);
    return dirs;
}

std::shared_ptr<Module> load_module(const std::string& name,
                                    const std::vector<std::filesystem::path>& extra) {
    if (auto it = loaded_modules().find(name); it != loaded_modules().end()) return it->second;
    auto dirs = module_search_path(extra);
    std::string file = "lib" + name + ".so";
    for (auto& dir : dirs) {
        auto path = dir / file;
        if (!std::filesystem::exists(path)) continue;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (!handle) throw ImportError(fmt::format("cannot load {}: {}", path.string(), dlerror()));
        auto module = std::make_shared<Module>(path, handle);
        loaded_modules()[name] = module;
        return module;
    }
    throw ImportError(
        fmt::format("no module named '{}': {} not found in {}", name, file,
                    dirs.empty() ? std::string("(no directories)") : join_paths(dirs)));
}

LoadedMod load_mod(const std::string& name, const std::vector<std::filesystem::path>& extra) {
    std::shared_ptr<Module> module;
    try {
        module = load_module("korvex_mod_" + name, extra);
    } catch (const ImportError& e) {
        throw ImportError(
            fmt::format("mod '{}' is enabled but cannot be loaded: {}", name, e.what()));
    }
    auto entry_fn = reinterpret_cast<korvex_mod_entry_fn>(module->symbol("korvex_mod_entry"));
    if (!entry_fn)
        throw ImportError(fmt::format("{} does not export korvex_mod_entry: not a korvex mod",
                                      module->path().string()));
    const KorvexModEntry* entry = entry_fn();
    if (!entry || entry->abi_version != KORVEX_MOD_ABI_VERSION)
        throw ImportError(fmt::format("{} was built for mod ABI {}, the host has {}",
                                      module->path().string(), entry ? entry->abi_version : 0,
                                      KORVEX_MOD_ABI_VERSION));
    if (!entry->create)
        throw ImportError(fmt::format("{} has no mod factory", module->path().string()));
    LoadedMod mod{name, module, entry, {}};
    auto defaults = module->path().parent_path() / ("korvex_mod_" + name + ".toml");
    if (std::filesystem::exists(defaults)) mod.default_config = defaults;
    return mod;
}

}  // namespace korvex
