// The style sheet and script inlined in the HTML report.
#pragma once

#include <string_view>

namespace korvex::report {

std::string_view page_style();
std::string_view page_script();

}  // namespace korvex::report
