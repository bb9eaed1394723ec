// The configuration loader on arbitrary text: a TOML document, then after a line "--" one
// override (key.path=value) per line, then every entry read back. Bad input must end in a
// korvex error naming what was wrong; anything else (a crash, another exception) is a finding.
// A document that loads goes through the checks a run makes of its settings as well.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "korvex/config.hpp"
#include "korvex/errors.hpp"
#include "korvex/runner.hpp"

namespace {

void read_all(const korvex::ConfigNode& node) {
    if (node.is_table()) {
        for (const auto& key : node.keys()) read_all(node[key]);
        return;
    }
    try {
        (void)node.as_value();
    } catch (const korvex::Error&) {
        // arrays and other shapes are not single values: refused by name
    }
    try {
        (void)node.as_double();  // an integer past 2^53 is refused, not read as another number
    } catch (const korvex::Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find("\n--\n");
    const std::string_view document = input.substr(0, split);
    try {
        korvex::Config config = korvex::Config::from_string(document, "fuzz.toml");
        if (split != std::string_view::npos) {
            std::string_view rest = input.substr(split + 4);
            while (!rest.empty()) {
                const std::size_t end = rest.find('\n');
                config.set_override(rest.substr(0, end));
                rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            }
        }
        read_all(config.root());
        korvex::check_settings(config);
    } catch (const korvex::Error&) {
    }
    return 0;
}
