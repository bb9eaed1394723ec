#include "generated_bundle.hpp"

#include <map>
#include <tuple>

#include "generator.hpp"
#include "korvex_test_support.hpp"

namespace korvex::testing {

const std::filesystem::path& generated_bundle(std::uint64_t seed, Date start, Date end, int bonds,
                                              int minute_bonds) {
    static TempDir dir;
    static std::map<std::tuple<std::uint64_t, Date, Date, int, int>, std::filesystem::path> made;
    auto key = std::make_tuple(seed, start, end, bonds, minute_bonds);
    if (auto it = made.find(key); it != made.end()) return it->second;
    korvex_generate::GeneratorOptions o;
    o.out = dir.path() / ("bundle" + std::to_string(made.size()));
    o.seed = seed;
    o.start = start;
    o.end = end;
    o.bonds = bonds;
    o.minute_bonds = minute_bonds;
    korvex_generate::generate_bundle(o);
    return made.emplace(key, o.out).first->second;
}

}  // namespace korvex::testing
