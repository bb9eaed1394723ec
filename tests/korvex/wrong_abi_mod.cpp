#include "korvex/mod_loader.hpp"

extern "C" __attribute__((visibility("default"))) const KorvexModEntry* korvex_mod_entry() {
    static const KorvexModEntry entry{KORVEX_MOD_ABI_VERSION + 100, "wrongabi", nullptr, nullptr};
    return &entry;
}
