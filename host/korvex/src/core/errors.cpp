#include "korvex/errors.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace korvex {

std::string type_name(const std::type_info& info) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(info.name(), nullptr, nullptr, &status), std::free);
    std::string full = status == 0 && demangled ? demangled.get() : info.name();
    // Drop namespaces but keep template arguments intact: "korvex_mod_bond::RepoTrade" ->
    // "RepoTrade".
    std::size_t angle = full.find('<');
    std::string head = full.substr(0, angle);
    std::size_t colon = head.rfind("::");
    if (colon != std::string::npos) full.erase(0, colon + 2);
    return full;
}

}  // namespace korvex
