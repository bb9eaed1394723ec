#include "minute_bar.hpp"

namespace korvex_tools {

const korvex::RecordLayout& minute_bar_layout() {
    static const korvex::RecordLayout layout{
        {"datetime", "<i8"}, {"open", "<f8"},   {"high", "<f8"},          {"low", "<f8"},
        {"close", "<f8"},    {"volume", "<f8"}, {"total_turnover", "<f8"}};
    return layout;
}

}  // namespace korvex_tools
