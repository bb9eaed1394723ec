// A bundle generated for a benchmark into the temporary folder on first use and kept for the
// runs after it: daily data only.
#pragma once

#include <filesystem>
#include <string>

#include "generator.hpp"

namespace korvex::bench {

inline std::filesystem::path generated_bundle(const std::string& name, Date start, Date end,
                                              int bonds) {
    const auto path = std::filesystem::temp_directory_path() / name;
    if (!std::filesystem::exists(path / "tavlen.sqlite")) {
        korvex_generate::GeneratorOptions o;
        o.out = path;
        o.force = true;
        o.start = start;
        o.end = end;
        o.bonds = bonds;
        o.minute_bonds = 0;
        korvex_generate::generate_bundle(o);
    }
    return path;
}

}  // namespace korvex::bench
